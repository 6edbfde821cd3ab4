#include "eeprom_fields.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "context.h"

namespace vexa_tool {

#define VX_FIELD(kind, name, prog, help) \
  EepromField{EepromField::Kind::kind, #name, offsetof(KX_PROGRAM_DATA, name), prog, help, \
              field_max(EepromField::Kind::kind, #name, help)}

namespace {

// Switches (help text "(0/1)" or a configuration bit) take 0 or 1; the bus
// power is at most 500 mA; other numbers fill their width.
uint32_t field_max(EepromField::Kind kind, const char *name, const char *help) {
  const std::string n = name, h = help;
  if (kind == EepromField::Kind::Text) return 0;
  if (h.find("(0/1)") != std::string::npos || n.find("config_bit") != std::string::npos ||
      n == "dual_image")
    return 1;
  if (n == "max_power") return 500;
  return kind == EepromField::Kind::U8 ? 0xFF : 0xFFFF;
}

}  // namespace

const std::vector<EepromField> &eeprom_fields() {
  static const std::vector<EepromField> fields = {
      VX_FIELD(U16, vendor_id, true, "USB vendor identifier"),
      VX_FIELD(U16, product_id, true, "USB product identifier"),
      VX_FIELD(Text, manufacturer, true, "manufacturer text"),
      VX_FIELD(Text, manufacturer_id, true, "two-character prefix of a generated serial number"),
      VX_FIELD(Text, description, true, "product description text"),
      VX_FIELD(Text, serial_number, true, "serial number (empty: generate one)"),
      VX_FIELD(U16, max_power, true, "bus power in mA (at most 500)"),
      VX_FIELD(U16, plug_and_play, true, "plug and play (0/1)"),
      VX_FIELD(U16, self_powered, true, "self powered (0/1)"),
      VX_FIELD(U16, remote_wakeup, true, "remote wake-up (0/1)"),
      VX_FIELD(U8, rev4, true, "single-channel: revision 4 image (0/1)"),
      VX_FIELD(U8, iso_in, true, "single-channel: isochronous IN (0/1)"),
      VX_FIELD(U8, iso_out, true, "single-channel: isochronous OUT (0/1)"),
      VX_FIELD(U8, pull_down_enable, true, "single-channel: pull-down in suspend (0/1)"),
      VX_FIELD(U8, serial_number_enable, true, "single-channel: report the serial number (0/1)"),
      VX_FIELD(U8, usb_version_enable, true, "single-channel: use usb_version (0/1)"),
      VX_FIELD(U16, usb_version, true, "single-channel: bcdUSB"),
      VX_FIELD(U8, dual_image, false, "decoded as a dual-channel image (read only)"),
      VX_FIELD(U8, iso_in_a, true, "dual-channel: isochronous IN on A (0/1)"),
      VX_FIELD(U8, iso_in_b, true, "dual-channel: isochronous IN on B (0/1)"),
      VX_FIELD(U8, iso_out_a, true, "dual-channel: isochronous OUT on A (0/1)"),
      VX_FIELD(U8, iso_out_b, true, "dual-channel: isochronous OUT on B (0/1)"),
      VX_FIELD(U8, dual_pull_down_enable, true, "dual-channel: pull-down in suspend (0/1)"),
      VX_FIELD(U8, dual_serial_number_enable, true, "dual-channel: report the serial number (0/1)"),
      VX_FIELD(U8, dual_usb_version_enable, true, "dual-channel: use dual_usb_version (0/1)"),
      VX_FIELD(U16, dual_usb_version, true, "dual-channel: bcdUSB"),
      VX_FIELD(U8, a_config_bit0, true, "channel A configuration bit 0"),
      VX_FIELD(U8, a_config_bit1, true, "channel A configuration bit 1"),
      VX_FIELD(U8, a_config_bit2, true, "channel A configuration bit 2"),
      VX_FIELD(U8, a_config_bit3, true, "channel A configuration bit 3"),
      VX_FIELD(U8, a_config_bit4, true, "channel A configuration bit 4"),
      VX_FIELD(U8, b_config_bit0, true, "channel B configuration bit 0"),
      VX_FIELD(U8, b_config_bit1, true, "channel B configuration bit 1"),
      VX_FIELD(U8, b_config_bit2, true, "channel B configuration bit 2"),
      VX_FIELD(U8, b_config_bit3, true, "channel B configuration bit 3"),
      VX_FIELD(U8, b_config_bit4, true, "channel B configuration bit 4"),
  };
  return fields;
}

#undef VX_FIELD

const EepromField &eeprom_field(const std::string &name) {
  for (const EepromField &f : eeprom_fields())
    if (name == f.name) return f;
  throw ToolError("unknown EEPROM field '" + name + "'");
}

namespace {

// The four text pointers of the record, in the order of texts_.
char **text_slot(KX_PROGRAM_DATA &d, int i) {
  char **slots[] = {&d.manufacturer, &d.manufacturer_id, &d.description, &d.serial_number};
  return slots[i];
}

int text_index(const EepromField &f) {
  if (f.offset == offsetof(KX_PROGRAM_DATA, manufacturer)) return 0;
  if (f.offset == offsetof(KX_PROGRAM_DATA, manufacturer_id)) return 1;
  if (f.offset == offsetof(KX_PROGRAM_DATA, description)) return 2;
  return 3;
}

}  // namespace

EepromRecord::EepromRecord() {
  data_.marker_zero = 0;
  data_.marker_ones = 0xFFFFFFFFu;
  point_texts();
}

EepromRecord::EepromRecord(const EepromRecord &other) : data_(other.data_), texts_(other.texts_) {
  point_texts();
}

EepromRecord &EepromRecord::operator=(const EepromRecord &other) {
  data_ = other.data_;
  texts_ = other.texts_;
  point_texts();
  return *this;
}

void EepromRecord::point_texts() {
  for (int i = 0; i < 4; ++i) *text_slot(data_, i) = texts_[i].data();
}

void EepromRecord::set(const EepromField &field, const std::string &value) {
  unsigned char *base = reinterpret_cast<unsigned char *>(&data_);
  if (field.kind == EepromField::Kind::Text) {
    auto &storage = texts_[text_index(field)];
    if (value.size() >= storage.size())
      throw ToolError(std::string(field.name) + ": text longer than " +
                      std::to_string(storage.size() - 1) + " characters");
    // The serial-number generator takes exactly two characters as its prefix.
    if (field.offset == offsetof(KX_PROGRAM_DATA, manufacturer_id) && value.size() != 2)
      throw ToolError(std::string(field.name) + ": '" + value +
                      "' must be exactly two characters (the prefix of a generated serial number)");
    storage.fill('\0');
    std::memcpy(storage.data(), value.data(), value.size());
    return;
  }
  const unsigned long max = field.max;
  char *end = nullptr;
  errno = 0;
  unsigned long n = std::strtoul(value.c_str(), &end, 0);
  if (value.empty() || *end != '\0' || errno != 0 || value[0] == '-' || n > max)
    throw ToolError(std::string(field.name) + ": '" + value + "' is not a number from 0 to " +
                    std::to_string(max));
  if (field.kind == EepromField::Kind::U8) {
    uint8_t v = static_cast<uint8_t>(n);
    std::memcpy(base + field.offset, &v, sizeof v);
  } else {
    uint16_t v = static_cast<uint16_t>(n);
    std::memcpy(base + field.offset, &v, sizeof v);
  }
}

uint32_t EepromRecord::number(const EepromField &field) const {
  const unsigned char *base = reinterpret_cast<const unsigned char *>(&data_);
  if (field.kind == EepromField::Kind::U8) return base[field.offset];
  uint16_t v;
  std::memcpy(&v, base + field.offset, sizeof v);
  return v;
}

std::string EepromRecord::text(const EepromField &field) const {
  const auto &storage = texts_[text_index(field)];
  return std::string(storage.data(), strnlen(storage.data(), storage.size()));
}

nlohmann::json EepromRecord::to_json() const {
  nlohmann::json j = nlohmann::json::object();
  for (const EepromField &f : eeprom_fields()) {
    if (f.kind == EepromField::Kind::Text)
      j[f.name] = text(f);
    else
      j[f.name] = number(f);
  }
  return j;
}

void EepromRecord::apply_json(const nlohmann::json &j) {
  if (!j.is_object()) throw ToolError("the EEPROM description must be a JSON object");
  for (auto it = j.begin(); it != j.end(); ++it) {
    const EepromField *field = &eeprom_field(it.key());
    if (!field->programmable) continue;  // read-only fields may appear in a saved read
    if (field->kind == EepromField::Kind::Text) {
      if (!it->is_string()) throw ToolError(it.key() + ": expected a string");
      set(*field, it->get<std::string>());
    } else if (it->is_number_unsigned()) {
      set(*field, std::to_string(it->get<uint64_t>()));
    } else if (it->is_string()) {
      set(*field, it->get<std::string>());  // "0x0403" is accepted too
    } else if (it->is_boolean()) {
      set(*field, it->get<bool>() ? "1" : "0");
    } else {
      throw ToolError(it.key() + ": expected a non-negative number");
    }
  }
}

EepromRecord EepromRecord::defaults(bool dual) {
  EepromRecord r;
  r.data_.vendor_id = 0x0403;
  r.data_.product_id = dual ? 0x6010 : 0x6001;
  r.data_.max_power = 90;
  r.data_.plug_and_play = 1;
  r.data_.rev4 = 1;
  r.data_.usb_version = 0x0200;
  r.data_.dual_usb_version = 0x0200;
  r.data_.layout_version = dual ? 1 : 0;
  // A generated serial number starts with this prefix.
  r.set(eeprom_field("manufacturer_id"), "VX");
  return r;
}

}  // namespace vexa_tool
