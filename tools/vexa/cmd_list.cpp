// vexa list, vexa info: what is attached and how one channel stands.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <iomanip>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>

#include "channel.h"
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

std::vector<ListedChannel> scan_channels() {
  uint32_t count = 0;
  check(KX_ListDevices(&count, nullptr, KX_LIST_COUNT), "cannot count the attached channels");
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
  ctx.out << std::left << std::setw(6) << "INDEX" << std::setw(20) << "SERIAL" << std::setw(32)
          << "DESCRIPTION" << std::setw(9) << "TYPE" << "VID:PID\n";
  for (const ListedChannel &c : channels) {
    ctx.out << std::setw(6) << c.index << std::setw(20) << c.serial << std::setw(32) << c.description
            << std::setw(9) << (c.info_known ? type_name(c.type) : "-")
            << (c.info_known ? hex16(c.id >> 16) + ":" + hex16(c.id) : std::string("-")) << '\n';
  }
}

std::string modem_bits(unsigned long status) {
  std::string names;
  const std::pair<unsigned long, const char *> bits[] = {
      {KX_MODEM_CTS, "CTS"}, {KX_MODEM_DSR, "DSR"}, {KX_MODEM_RI, "RI"}, {KX_MODEM_DCD, "DCD"}};
  for (const auto &b : bits)
    if (status & b.first) names += names.empty() ? b.second : std::string(" ") + b.second;
  return names.empty() ? "none" : names;
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

  char hex[8];
  if (as_json) {
    nlohmann::json j = {{"serial", serial},      {"description", description},
                        {"type", type_name(type)}, {"type_code", type},
                        {"vendor_id", (id >> 16) & 0xFFFF}, {"product_id", id & 0xFFFF},
                        {"modem_status", modem}};
    j["latency_timer"] = latency_status == KX_OK ? nlohmann::json(latency) : nlohmann::json(nullptr);
    j["bit_mode"] = bits_status == KX_OK ? nlohmann::json(bits) : nlohmann::json(nullptr);
    ctx.out << j.dump(2) << '\n';
    return;
  }
  std::snprintf(hex, sizeof hex, "0x%02lx", modem);
  ctx.out << "serial:        " << serial << '\n'
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
  info->add_option("DEVICE", *device, "Channel index, serial:TEXT or desc:TEXT")->required();
  info->add_flag("--json", *info_json, "Print a JSON object");
  info->callback([&ctx, device, info_json]() { print_info(ctx, *device, *info_json); });
}

}  // namespace vexa_tool
