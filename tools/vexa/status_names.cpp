#include "status_names.h"

#include <iterator>

namespace vexa_tool {
namespace {

struct StatusText {
  KX_STATUS code;
  const char *name;
  const char *meaning;
};

const StatusText kStatuses[] = {
    {KX_OK, "KX_OK", "success"},
    {KX_ERR_NOT_FOUND, "KX_ERR_NOT_FOUND", "no channel with that index, serial number or description"},
    {KX_ERR_NOT_OPENED, "KX_ERR_NOT_OPENED",
     "the device could not be opened, its interface is busy, or the channel letter is not A or B"},
    {KX_ERR_IO, "KX_ERR_IO", "a control transfer failed, or a read timed out"},
    {KX_ERR_RESOURCES, "KX_ERR_RESOURCES", "out of memory"},
    {KX_ERR_PARAMETER, "KX_ERR_PARAMETER", "invalid handle, argument or flags"},
    {KX_ERR_BAUD_RATE, "KX_ERR_BAUD_RATE", "baud rate not set: no divisor within 3 %, or the request failed"},
    {KX_ERR_WRITE, "KX_ERR_WRITE", "a bulk write failed"},
    {KX_ERR_EE_READ, "KX_ERR_EE_READ", "reading the EEPROM failed"},
    {KX_ERR_EE_WRITE, "KX_ERR_EE_WRITE",
     "writing the EEPROM failed, its read-back differs, or the user data does not fit"},
    {KX_ERR_EE_ERASE, "KX_ERR_EE_ERASE", "erasing the EEPROM failed"},
    {KX_ERR_EE_ABSENT, "KX_ERR_EE_ABSENT", "no EEPROM: its vendor word reads 0x0000"},
    {KX_ERR_EE_BLANK, "KX_ERR_EE_BLANK", "the EEPROM is blank: its vendor word reads 0xFFFF"},
    {KX_ERR_ARGS, "KX_ERR_ARGS", "EEPROM word offset out of range"},
    {KX_ERR_UNSUPPORTED, "KX_ERR_UNSUPPORTED", "not supported by this chip"},
    {KX_ERR_OTHER, "KX_ERR_OTHER",
     "other failure: bus scan, string read, or EEPROM texts too long"},
};

const StatusText *find(KX_STATUS status) {
  for (const StatusText &s : kStatuses)
    if (s.code == status) return &s;
  return nullptr;
}

}  // namespace

std::string status_name(KX_STATUS status) {
  const StatusText *s = find(status);
  return s ? s->name : "KX_STATUS_" + std::to_string(status);
}

std::string status_meaning(KX_STATUS status) {
  const StatusText *s = find(status);
  return s ? s->meaning : "unknown status";
}

std::string describe_status(KX_STATUS status) {
  return status_name(status) + " (" + std::to_string(status) + "): " + status_meaning(status);
}

}  // namespace vexa_tool
