// The fields of the EEPROM configuration record as one table, so that the
// text output, the JSON form and the program options all agree on names.
#ifndef VEXA_TOOL_EEPROM_FIELDS_H
#define VEXA_TOOL_EEPROM_FIELDS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "vexa.h"

namespace vexa_tool {

struct EepromField {
  enum class Kind { Text, U8, U16 } kind;
  const char *name;  // JSON key; the option is --name with '-' for '_'
  size_t offset;     // into KX_PROGRAM_DATA
  bool programmable; // false for output-only fields
  const char *help;
  uint32_t max;      // largest value of a number field
};

const std::vector<EepromField> &eeprom_fields();
// The field of that name; throws ToolError for an unknown name.
const EepromField &eeprom_field(const std::string &name);

// A record together with the storage of its four texts (64 bytes each, what
// KX_EE_Read needs); copying keeps the pointers on the copy's own storage.
class EepromRecord {
 public:
  EepromRecord();
  EepromRecord(const EepromRecord &other);
  EepromRecord &operator=(const EepromRecord &other);

  KX_PROGRAM_DATA *data() { return &data_; }
  const KX_PROGRAM_DATA &get() const { return data_; }

  // Sets a field from text: numbers in decimal or 0x-hex, range-checked.
  // Throws ToolError naming the field.
  void set(const EepromField &field, const std::string &value);
  uint32_t number(const EepromField &field) const;
  std::string text(const EepromField &field) const;

  nlohmann::json to_json() const;
  // Applies the keys of a JSON object; unknown keys are an error (typos).
  void apply_json(const nlohmann::json &j);

  // The defaults a fresh configuration starts from.
  static EepromRecord defaults(bool dual);

 private:
  void point_texts();
  KX_PROGRAM_DATA data_{};
  std::array<std::array<char, 64>, 4> texts_{};
};

}  // namespace vexa_tool

#endif
