// vexa eeprom read|program|erase|dump: the chip's configuration EEPROM.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <memory>
#include <ostream>
#include <sstream>

#include "channel.h"
#include "commands.h"
#include "eeprom_fields.h"

namespace vexa_tool {
namespace {

// Fields shown in hexadecimal in the text form: identifiers and versions.
bool shown_in_hex(const EepromField &f) {
  const std::string name = f.name;
  return name == "vendor_id" || name == "product_id" || name == "usb_version" ||
         name == "dual_usb_version";
}

bool is_dual(KX_HANDLE handle, const std::string &device) {
  unsigned long type = 0;
  check(KX_GetDeviceInfo(handle, &type, nullptr, nullptr, nullptr, nullptr),
        "cannot read the device type of " + device);
  return type == KX_DEVICE_DUAL;
}

EepromRecord read_record(const Channel &channel) {
  EepromRecord record;
  check(KX_EE_Read(channel.handle(), record.data()), "cannot read the EEPROM of " + channel.name());
  return record;
}

void print_record(Context &ctx, const EepromRecord &record, bool as_json) {
  if (as_json) {
    ctx.out << record.to_json().dump(2) << '\n';
    return;
  }
  for (const EepromField &f : eeprom_fields()) {
    ctx.out << f.name << ": ";
    if (f.kind == EepromField::Kind::Text)
      ctx.out << record.text(f);
    else if (shown_in_hex(f))
      ctx.out << "0x" << hex16(record.number(f));
    else
      ctx.out << record.number(f);
    ctx.out << '\n';
  }
}

nlohmann::json load_json(const std::string &path) {
  std::ifstream file(path);
  if (!file) throw ToolError("cannot open " + path);
  try {
    return nlohmann::json::parse(file);
  } catch (const nlohmann::json::exception &e) {
    throw ToolError(path + ": not valid JSON: " + e.what());
  }
}

struct ProgramOptions {
  std::string device;
  std::string from;
  // One text per field, in the order of eeprom_fields(); set only when given.
  std::vector<std::string> values = std::vector<std::string>(eeprom_fields().size());
  std::vector<CLI::Option *> options = std::vector<CLI::Option *>(eeprom_fields().size());
};

void program(Context &ctx, const ProgramOptions &opts) {
  Channel channel(opts.device);
  EepromRecord record = EepromRecord::defaults(is_dual(channel.handle(), opts.device));
  if (!opts.from.empty()) record.apply_json(load_json(opts.from));
  const auto &fields = eeprom_fields();
  for (size_t i = 0; i < fields.size(); ++i)
    if (opts.options[i] && opts.options[i]->count() > 0) record.set(fields[i], opts.values[i]);
  check(KX_EE_Program(channel.handle(), record.data()), "cannot program the EEPROM of " + opts.device);
  // Read back, so that a generated serial number is shown.
  EepromRecord written = read_record(channel);
  ctx.out << "programmed " << opts.device << ": serial number "
          << written.text(eeprom_field("serial_number")) << '\n';
}

void dump(Context &ctx, const std::string &device, const std::string &path) {
  Channel channel(device);
  // The first 64 words, low byte first: the whole image of the common parts.
  unsigned char bytes[128];
  for (unsigned long word = 0; word < 64; ++word) {
    unsigned short value = 0;
    check(KX_ReadEE(channel.handle(), word, &value),
          "cannot read EEPROM word " + std::to_string(word) + " of " + device);
    bytes[2 * word] = static_cast<unsigned char>(value & 0xFF);
    bytes[2 * word + 1] = static_cast<unsigned char>(value >> 8);
  }
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) throw ToolError("cannot create " + path);
  file.write(reinterpret_cast<const char *>(bytes), sizeof bytes);
  file.close();
  if (!file) throw ToolError("cannot write " + path);
  ctx.out << "wrote 128 bytes to " << path << '\n';
}

}  // namespace

void add_eeprom_commands(CLI::App &app, Context &ctx) {
  CLI::App *eeprom = app.add_subcommand("eeprom", "Read, program, erase or dump the configuration EEPROM");
  eeprom->require_subcommand(1);

  auto read_device = std::make_shared<std::string>();
  auto read_json = std::make_shared<bool>(false);
  CLI::App *read = eeprom->add_subcommand("read", "Decode and print the EEPROM configuration");
  read->add_option("DEVICE", *read_device, "Channel index, serial:TEXT or desc:TEXT")->required();
  read->add_flag("--json", *read_json, "Print JSON (the form 'program --from' reads)");
  read->callback([&ctx, read_device, read_json]() {
    Channel channel(*read_device);
    print_record(ctx, read_record(channel), *read_json);
  });

  auto opts = std::make_shared<ProgramOptions>();
  CLI::App *prog = eeprom->add_subcommand(
      "program", "Erase and program the whole configuration (unset fields take their defaults)");
  prog->add_option("DEVICE", opts->device, "Channel index, serial:TEXT or desc:TEXT")->required();
  prog->add_option("--from", opts->from, "Start from FILE.json as 'eeprom read --json' prints it");
  const auto &fields = eeprom_fields();
  for (size_t i = 0; i < fields.size(); ++i) {
    if (!fields[i].programmable) continue;
    std::string flag = std::string("--") + fields[i].name;
    for (char &c : flag)
      if (c == '_') c = '-';
    opts->options[i] = prog->add_option(flag, opts->values[i], fields[i].help);
  }
  prog->callback([&ctx, opts]() { program(ctx, *opts); });

  auto erase_device = std::make_shared<std::string>();
  CLI::App *erase = eeprom->add_subcommand("erase", "Erase the whole EEPROM (every word 0xFFFF)");
  erase->add_option("DEVICE", *erase_device, "Channel index, serial:TEXT or desc:TEXT")->required();
  erase->callback([&ctx, erase_device]() {
    Channel channel(*erase_device);
    check(KX_EraseEE(channel.handle()), "cannot erase the EEPROM of " + *erase_device);
    ctx.out << "erased the EEPROM of " << *erase_device << '\n';
  });

  auto dump_device = std::make_shared<std::string>();
  auto dump_file = std::make_shared<std::string>();
  CLI::App *dump_cmd = eeprom->add_subcommand("dump", "Save the first 64 words as 128 raw bytes, low byte first");
  dump_cmd->add_option("DEVICE", *dump_device, "Channel index, serial:TEXT or desc:TEXT")->required();
  dump_cmd->add_option("FILE", *dump_file, "Output file")->required();
  dump_cmd->callback([&ctx, dump_device, dump_file]() { dump(ctx, *dump_device, *dump_file); });
}

}  // namespace vexa_tool
