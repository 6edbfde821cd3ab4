// vexa list, vexa info: what is attached and how one channel stands.
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>

#include "channel.h"
#include "cli_options.h"
#include "commands.h"
#include "status_names.h"

namespace vexa_tool {
namespace {

const char *type_name(unsigned long type) {
  switch (type) {
    case KX_DEVICE_BCD0400: return "BCD0400";
    case KX_DEVICE_BCD0200: return "BCD0200";
    case KX_DEVICE_DUAL: return "DUAL";
    case KX_DEVICE_OTHER: return "OTHER";
    default: return "unknown";
  }
}

struct ListedChannel {
  uint32_t index;
  std::string serial, description;
  bool info_known = false;  // false when the channel could not be opened
  unsigned long type = 0, id = 0;
};

// Reads one of the channel's strings; a channel without that string gives "".
std::string listed_string(uint32_t index, uint32_t which) {
  char text[258] = {0};
  KX_STATUS status = KX_ListDevices(reinterpret_cast<void *>(static_cast<uintptr_t>(index)), text,
                                    KX_LIST_INDEXED | which);
  return status == KX_OK ? std::string(text) : std::string();
}

// The places where libusb 0.1 looks for buses: USB_DEVFS_PATH when set,
// else its two usual folders.
std::vector<std::string> usb_bus_folders() {
  if (const char *forced = std::getenv("USB_DEVFS_PATH")) return {forced};
  return {"/dev/bus/usb", "/proc/bus/usb"};
}

// A failed bus scan most often means there is no USB bus to scan at all (a
// container, a machine without USB); the library only knows "other failure".
[[noreturn]] void report_scan_failure(KX_STATUS status) {
  std::string looked, found;
  for (const std::string &folder : usb_bus_folders()) {
    looked += (looked.empty() ? "" : ", ") + folder;
    struct stat st;
    if (found.empty() && stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) found = folder;
  }
  if (status != KX_ERR_OTHER || !found.empty())
    throw StatusError(status, "cannot scan the USB buses" + (found.empty() ? "" : " in " + found));
  throw ToolError("no USB bus found (looked in " + looked +
                  "); to try vexa without hardware, run: vexa-sim -- vexa list");
}

std::vector<ListedChannel> scan_channels() {
  uint32_t count = 0;
  KX_STATUS status = KX_ListDevices(&count, nullptr, KX_LIST_COUNT);
  if (status != KX_OK) report_scan_failure(status);
  std::vector<ListedChannel> channels;
  for (uint32_t i = 0; i < count; ++i) {
    ListedChannel c;
    c.index = i;
    c.serial = listed_string(i, KX_MATCH_SERIAL);
    c.description = listed_string(i, KX_MATCH_DESCRIPTION);
    channels.push_back(c);
  }
  // Type and identifiers need an open handle; a channel busy elsewhere keeps
  // its strings and shows no type. Opening comes after the listing, which
  // rescans the bus, so that the indexes refer to the same scan.
  for (ListedChannel &c : channels) {
    KX_HANDLE h = nullptr;
    if (KX_Open(static_cast<int>(c.index), &h) != KX_OK) continue;
    if (KX_GetDeviceInfo(h, &c.type, &c.id, nullptr, nullptr, nullptr) == KX_OK) c.info_known = true;
    KX_Close(h);
  }
  return channels;
}

void print_list(Context &ctx, bool as_json) {
  std::vector<ListedChannel> channels = scan_channels();
  if (as_json) {
    nlohmann::json list = nlohmann::json::array();
    for (const ListedChannel &c : channels) {
      nlohmann::json j = {{"index", c.index}, {"serial", c.serial}, {"description", c.description}};
      if (c.info_known) {
        j["type"] = type_name(c.type);
        j["type_code"] = c.type;
        j["vendor_id"] = (c.id >> 16) & 0xFFFF;
        j["product_id"] = c.id & 0xFFFF;
      } else {
        j["type"] = nullptr;
      }
      list.push_back(j);
    }
    ctx.out << list.dump(2) << '\n';
    return;
  }
  if (channels.empty()) {
    ctx.out << "no channels found\n";
    return;
  }
  // Each column is as wide as its longest value, two blanks apart, so that
  // long serial numbers and descriptions never run together.
  std::vector<std::array<std::string, 5>> rows = {{"INDEX", "SERIAL", "DESCRIPTION", "TYPE", "VID:PID"}};
  for (const ListedChannel &c : channels)
    rows.push_back({std::to_string(c.index), c.serial.empty() ? "-" : c.serial,
                    c.description.empty() ? "-" : c.description,
                    c.info_known ? type_name(c.type) : "-",
                    c.info_known ? hex16(c.id >> 16) + ":" + hex16(c.id) : std::string("-")});
  std::array<size_t, 5> width{};
  for (const auto &row : rows)
    for (size_t k = 0; k < row.size(); ++k) width[k] = std::max(width[k], row[k].size());
  for (const auto &row : rows) {
    std::string line;
    for (size_t k = 0; k < row.size(); ++k) {
      line += row[k];
      if (k + 1 < row.size()) line += std::string(width[k] - row[k].size() + 2, ' ');
    }
    ctx.out << line << '\n';
  }
}


// The device record keeps only the first 16 characters of a serial number;
// the listing has the whole text. Index names give the listed entry at once; a
// name by text gives the one listed entry that begins as the record does.
std::string full_serial(const std::string &device, const std::string &short_serial) {
  ChannelSpec spec = parse_channel_spec(device);
  if (spec.kind == ChannelSpec::Kind::Index) {
    std::string listed = listed_string(static_cast<uint32_t>(spec.index), KX_MATCH_SERIAL);
    if (!listed.empty()) return listed;
  }
  if (short_serial.empty()) return short_serial;
  uint32_t count = 0;
  if (KX_ListDevices(&count, nullptr, KX_LIST_COUNT) != KX_OK) return short_serial;
  std::string match;
  for (uint32_t i = 0; i < count; ++i) {
    std::string listed = listed_string(i, KX_MATCH_SERIAL);
    if (listed.compare(0, short_serial.size(), short_serial) != 0) continue;
    if (!match.empty()) return short_serial;  // ambiguous: keep what is certain
    match = listed;
  }
  return match.empty() ? short_serial : match;
}

void print_info(Context &ctx, const std::string &device, bool as_json) {
  Channel channel(device);
  unsigned long type = 0, id = 0, modem = 0;
  char serial[19] = {0}, description[67] = {0};
  check(KX_GetDeviceInfo(channel.handle(), &type, &id, serial, description, nullptr),
        "cannot read the device information of " + device);
  check(KX_GetModemStatus(channel.handle(), &modem), "cannot read the modem status of " + device);
  unsigned char latency = 0, bits = 0;
  KX_STATUS latency_status = KX_GetLatencyTimer(channel.handle(), &latency);
  KX_STATUS bits_status = KX_GetBitMode(channel.handle(), &bits);
  // A chip without these features is not a failure of the command.
  if (latency_status != KX_ERR_UNSUPPORTED) check(latency_status, "cannot read the latency timer of " + device);
  if (bits_status != KX_ERR_UNSUPPORTED) check(bits_status, "cannot read the bit mode of " + device);

  const std::string whole_serial = full_serial(device, serial);
  char hex[8];
  if (as_json) {
    nlohmann::json j = {{"serial", whole_serial}, {"description", description},
                        {"type", type_name(type)}, {"type_code", type},
                        {"vendor_id", (id >> 16) & 0xFFFF}, {"product_id", id & 0xFFFF},
                        {"modem_status", modem}};
    j["latency_timer"] = latency_status == KX_OK ? nlohmann::json(latency) : nlohmann::json(nullptr);
    j["bit_mode"] = bits_status == KX_OK ? nlohmann::json(bits) : nlohmann::json(nullptr);
    ctx.out << j.dump(2) << '\n';
    return;
  }
  std::snprintf(hex, sizeof hex, "0x%02lx", modem);
  ctx.out << "serial:        " << whole_serial << '\n'
          << "description:   " << description << '\n'
          << "type:          " << type_name(type) << " (" << type << ")\n"
          << "vid:pid:       " << hex16(id >> 16) << ':' << hex16(id) << '\n'
          << "modem status:  " << hex << " (" << modem_bits(modem) << ")\n";
  ctx.out << "latency timer: "
          << (latency_status == KX_OK ? std::to_string(latency) + " ms" : "not supported") << '\n';
  std::snprintf(hex, sizeof hex, "0x%02x", bits);
  ctx.out << "bit mode:      " << (bits_status == KX_OK ? std::string(hex) : "not supported") << '\n';
}

}  // namespace

void add_list_commands(CLI::App &app, Context &ctx) {
  auto list_json = std::make_shared<bool>(false);
  CLI::App *list = app.add_subcommand("list", "List every channel of the attached chips");
  list->add_flag("--json", *list_json, "Print a JSON array");
  list->callback([&ctx, list_json]() { print_list(ctx, *list_json); });

  auto device = std::make_shared<std::string>();
  auto info_json = std::make_shared<bool>(false);
  CLI::App *info = app.add_subcommand("info", "Show device information, modem status, latency timer, bit mode");
  add_device_argument(*info, *device);
  info->add_flag("--json", *info_json, "Print a JSON object");
  info->callback([&ctx, device, info_json]() { print_info(ctx, *device, *info_json); });
}

}  // namespace vexa_tool
