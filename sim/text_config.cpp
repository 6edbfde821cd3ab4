// Chips described as text ("dual,serial=A1;r4,desc=Probe"), for the
// VEXA_SIM_CHIPS environment variable and vexa_sim_add_chips_from_text.
#include <cerrno>
#include <cstdlib>

#include "sim_model.h"

namespace vexa_sim {
namespace {

struct ChipText {
  vexa_sim_chip_config config{};
  std::optional<std::string> serial, product, manufacturer, eeprom_file;
  bool loopback = false;
};

std::vector<std::string> split(const std::string &text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

std::string trim(const std::string &text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

// A decimal or 0x-prefixed number within [low, high].
bool parse_number(const std::string &text, long low, long high, long *out) {
  if (text.empty()) return false;
  errno = 0;
  char *end = nullptr;
  long value = std::strtol(text.c_str(), &end, 0);
  if (errno || *end != '\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

const char kTypes[] = "single, r2, r4 or dual";
const char kKeys[] =
    "serial, desc, manufacturer, vid, pid, bcd, packet, eeprom, eeprom-file, loopback";

// Parses one chip; on a mistake, *why names the bad part and what is valid.
bool parse_chip(const std::string &text, ChipText *chip, std::string *why) {
  std::vector<std::string> fields = split(text, ',');
  const std::string type = trim(fields[0]);
  vexa_sim_chip_config &config = chip->config;
  // Text-described chips carry an EEPROM unless told otherwise: the programs
  // they are meant for expect one.
  if (type == "single") {
    config.bcd_device = 0x0600;
    config.eeprom_words = 64;
  } else if (type == "r2") {
    config.bcd_device = 0x0200;
    config.eeprom_words = 64;
  } else if (type == "r4") {
    config.bcd_device = 0x0400;
    config.eeprom_words = 64;
  } else if (type == "dual") {
    config.bcd_device = 0x0500;
    config.interfaces = 2;
    config.eeprom_words = 128;
  } else {
    *why = "unknown chip type '" + type + "' (types: " + kTypes + ")";
    return false;
  }
  for (size_t i = 1; i < fields.size(); ++i) {
    size_t eq = fields[i].find('=');
    if (eq == std::string::npos) {
      *why = "'" + trim(fields[i]) + "' is not key=value (keys: " + kKeys + ")";
      return false;
    }
    const std::string key = trim(fields[i].substr(0, eq));
    const std::string value = trim(fields[i].substr(eq + 1));
    long number = 0;
    auto number_in = [&](long low, long high, const char *range) {
      if (parse_number(value, low, high, &number)) return true;
      *why = key + " must be " + range + ", not '" + value + "'";
      return false;
    };
    if (key == "serial") {
      chip->serial = value;
    } else if (key == "desc") {
      chip->product = value;
    } else if (key == "manufacturer") {
      chip->manufacturer = value;
    } else if (key == "vid" || key == "pid" || key == "bcd") {
      if (!number_in(1, 0xFFFF, "a number from 1 to 0xffff")) return false;
      uint16_t &field = key == "vid"   ? config.id_vendor
                        : key == "pid" ? config.id_product
                                       : config.bcd_device;
      field = static_cast<uint16_t>(number);
    } else if (key == "packet") {
      if (!number_in(8, 1024, "a number from 8 to 1024")) return false;
      config.max_packet_size = static_cast<int>(number);
    } else if (key == "eeprom") {
      if (!parse_number(value, 0, 256, &number) ||
          (number != 0 && number != 64 && number != 128 && number != 256)) {
        *why = "eeprom must be 64, 128 or 256 words (or 0 for none), not '" + value + "'";
        return false;
      }
      config.eeprom_words = static_cast<int>(number);
    } else if (key == "eeprom-file") {
      if (value.empty()) {
        *why = "eeprom-file needs a file name";
        return false;
      }
      chip->eeprom_file = value;
    } else if (key == "loopback") {
      if (!number_in(0, 1, "0 or 1")) return false;
      chip->loopback = number != 0;
    } else {
      *why = "unknown key '" + key + "' (keys: " + kKeys + ")";
      return false;
    }
  }
  if (chip->eeprom_file && config.eeprom_words == 0) {
    *why = "eeprom-file needs an EEPROM (eeprom=64, 128 or 256)";
    return false;
  }
  return true;
}

}  // namespace

int add_chips_from_text(const char *text, std::string *why) {
  std::string ignored;
  if (!why) why = &ignored;
  if (!text) {
    *why = "no text";
    return -1;
  }
  std::vector<ChipText> parsed;
  for (const std::string &part : split(text, ';')) {
    if (trim(part).empty()) continue;  // tolerate "a;;b" and a trailing ';'
    ChipText chip;
    if (!parse_chip(part, &chip, why)) {
      *why = "'" + trim(part) + "': " + *why;
      return -1;
    }
    parsed.push_back(chip);
  }
  // Everything parsed: only now do chips appear, so a bad text adds none.
  std::vector<std::shared_ptr<Chip>> made;
  for (ChipText &chip : parsed) {
    chip.config.serial = chip.serial ? chip.serial->c_str() : nullptr;
    chip.config.product = chip.product ? chip.product->c_str() : nullptr;
    chip.config.manufacturer = chip.manufacturer ? chip.manufacturer->c_str() : nullptr;
    std::shared_ptr<Chip> made_chip = make_chip(chip.config);
    if (!made_chip) {
      *why = "the chip cannot be made";
      return -1;
    }
    if (chip.eeprom_file && !eeprom_attach_file(*made_chip, *chip.eeprom_file, why)) return -1;
    for (Channel &channel : made_chip->channels) channel.loopback = chip.loopback;
    made.push_back(made_chip);
  }
  Sim &s = sim();
  for (auto &chip : made) {
    chip->id = static_cast<int>(s.chips.size());
    s.chips.push_back(chip);
  }
  return static_cast<int>(made.size());
}

}  // namespace vexa_sim
