// vexa eeprom read|program|erase|dump: the chip's configuration EEPROM.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <ostream>
#include <sstream>

#include "channel.h"
#include "cli_options.h"
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
  if (!file) throw ToolError("cannot open " + path + ": " + std::strerror(errno));
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

// The string area holds the manufacturer, description and serial number
// texts together: 48 characters on the single-channel chips, 47 on the dual
// one. Checked here so that the user learns the lengths, not just a status.
void check_text_lengths(const EepromRecord &record, bool dual) {
  const size_t limit = dual ? 47 : 48;
  const size_t manufacturer = record.text(eeprom_field("manufacturer")).size();
  const size_t description = record.text(eeprom_field("description")).size();
  const std::string serial = record.text(eeprom_field("serial_number"));
  const size_t serial_length = serial.empty() ? 8 : serial.size();  // generated: 8
  const size_t total = manufacturer + description + serial_length;
  if (total <= limit) return;
  throw ToolError("the EEPROM texts are too long: manufacturer " + std::to_string(manufacturer) +
                  " + description " + std::to_string(description) + " + serial number " +
                  std::to_string(serial_length) + (serial.empty() ? " (generated)" : "") + " = " +
                  std::to_string(total) + " characters; this chip holds at most " +
                  std::to_string(limit));
}

void program(Context &ctx, const ProgramOptions &opts) {
  Channel channel(opts.device);
  const bool dual = is_dual(channel.handle(), opts.device);
  EepromRecord record = EepromRecord::defaults(dual);
  if (!opts.from.empty()) record.apply_json(load_json(opts.from));
  const auto &fields = eeprom_fields();
  for (size_t i = 0; i < fields.size(); ++i)
    if (opts.options[i] && opts.options[i]->count() > 0) record.set(fields[i], opts.values[i]);
  check_text_lengths(record, dual);
  check(KX_EE_Program(channel.handle(), record.data()), "cannot program the EEPROM of " + opts.device);
  // Read back, so that a generated serial number is shown.
  EepromRecord written = read_record(channel);
  ctx.out << "programmed " << opts.device << ": serial number "
          << written.text(eeprom_field("serial_number")) << '\n';
}

// The part's size: 64, 128 or 256 words. A part ignores the address bits it
// does not have, so its contents repeat from its end on; the smallest period
// that holds over all 256 addresses is the size (an erased or uniform part
// reads the same at any size, and 64 words then tell it all).
size_t part_words(const std::vector<uint16_t> &words) {
  for (size_t size : {64u, 128u}) {
    bool repeats = true;
    for (size_t i = size; i < words.size() && repeats; ++i) repeats = words[i] == words[i % size];
    if (repeats) return size;
  }
  return words.size();
}

void dump(Context &ctx, const std::string &device, const std::string &path, unsigned words_wanted) {
  Channel channel(device);
  std::vector<uint16_t> words(256);
  const size_t probe = words_wanted ? words_wanted : words.size();
  for (unsigned long word = 0; word < probe; ++word)
    check(KX_ReadEE(channel.handle(), word, &words[word]),
          "cannot read EEPROM word " + std::to_string(word) + " of " + device);
  const size_t count = words_wanted ? words_wanted : part_words(words);
  // Low byte first, as the chip stores each word.
  std::string bytes;
  for (size_t i = 0; i < count; ++i) {
    bytes += static_cast<char>(words[i] & 0xFF);
    bytes += static_cast<char>(words[i] >> 8);
  }
  if (path == "-") {
    ctx.out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ctx.out.flush();
    ctx.err << "wrote " << bytes.size() << " bytes (" << count << " words) to standard output\n";
    return;
  }
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) throw ToolError("cannot create " + path + ": " + std::strerror(errno));
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file) throw ToolError("cannot write " + path + ": " + std::strerror(errno));
  ctx.out << "wrote " << bytes.size() << " bytes (" << count << " words) to " << path << '\n';
}

}  // namespace

void add_eeprom_commands(CLI::App &app, Context &ctx) {
  CLI::App *eeprom = app.add_subcommand("eeprom", "Read, program, erase or dump the configuration EEPROM");
  eeprom->require_subcommand(1);

  auto read_device = std::make_shared<std::string>();
  auto read_json = std::make_shared<bool>(false);
  CLI::App *read = eeprom->add_subcommand("read", "Decode and print the EEPROM configuration");
  add_device_argument(*read, *read_device);
  read->add_flag("--json", *read_json, "Print JSON (the form 'program --from' reads)");
  read->callback([&ctx, read_device, read_json]() {
    Channel channel(*read_device);
    print_record(ctx, read_record(channel), *read_json);
  });

  auto opts = std::make_shared<ProgramOptions>();
  CLI::App *prog = eeprom->add_subcommand(
      "program", "Erase and program the whole configuration (unset fields take their defaults)");
  add_device_argument(*prog, opts->device);
  prog->add_option("--from", opts->from, "Start from FILE.json as 'eeprom read --json' prints it");
  const auto &fields = eeprom_fields();
  for (size_t i = 0; i < fields.size(); ++i) {
    if (!fields[i].programmable) continue;
    std::string flag = std::string("--") + fields[i].name;
    for (char &c : flag)
      if (c == '_') c = '-';
    const EepromField &field = fields[i];
    // Each value is tried on a scratch record while parsing, so that a bad
    // one is a usage error and the chip is not touched.
    opts->options[i] = prog->add_option(flag, opts->values[i], fields[i].help)
                           ->check(CLI::Validator(
                               [&field](std::string &text) -> std::string {
                                 EepromRecord scratch;
                                 try {
                                   scratch.set(field, text);
                                 } catch (const ToolError &e) {
                                   // CLI11 names the option; drop the field name.
                                   const std::string why = e.what();
                                   return why.substr(why.find(": ") + 2);
                                 }
                                 return std::string();
                               },
                               ""));
  }
  prog->callback([&ctx, opts]() { program(ctx, *opts); });

  auto erase_device = std::make_shared<std::string>();
  CLI::App *erase = eeprom->add_subcommand("erase", "Erase the whole EEPROM (every word 0xFFFF)");
  add_device_argument(*erase, *erase_device);
  erase->callback([&ctx, erase_device]() {
    Channel channel(*erase_device);
    check(KX_EraseEE(channel.handle()), "cannot erase the EEPROM of " + *erase_device);
    ctx.out << "erased the EEPROM of " << *erase_device << '\n';
  });

  auto dump_device = std::make_shared<std::string>();
  auto dump_file = std::make_shared<std::string>();
  auto dump_words = std::make_shared<unsigned>(0);
  CLI::App *dump_cmd = eeprom->add_subcommand(
      "dump", "Save the whole part (64, 128 or 256 words) as raw bytes, low byte first");
  add_device_argument(*dump_cmd, *dump_device);
  dump_cmd->add_option("FILE", *dump_file, "Output file; '-' for standard output")->required();
  dump_cmd->add_option("--words", *dump_words, "Words to save instead of the detected part size")
      ->check(CLI::IsMember({64, 128, 256}));
  dump_cmd->callback([&ctx, dump_device, dump_file, dump_words]() {
    dump(ctx, *dump_device, *dump_file, *dump_words);
  });
}

}  // namespace vexa_tool
