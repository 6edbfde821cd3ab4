// Names and sentences for the status codes, and the library's own version.
#include <cstddef>

#include "device.h"

namespace {

struct StatusEntry {
  KX_STATUS code;
  const char *name;
  const char *text;
};

// Indexed by code; the unused codes 1, 8 and 9 keep empty slots so that a
// lookup is one bounds check.
constexpr StatusEntry kStatuses[] = {
    {KX_OK, "KX_OK", "Success"},
    {1, nullptr, nullptr},
    {KX_ERR_NOT_FOUND, "KX_ERR_NOT_FOUND", "No channel with that index, serial number or description"},
    {KX_ERR_NOT_OPENED, "KX_ERR_NOT_OPENED",
     "The device could not be opened, its interface is busy, or the channel letter is not A or B"},
    {KX_ERR_IO, "KX_ERR_IO", "A control transfer failed or a read timed out"},
    {KX_ERR_RESOURCES, "KX_ERR_RESOURCES", "Out of memory or of another system resource"},
    {KX_ERR_PARAMETER, "KX_ERR_PARAMETER", "Invalid handle, argument or flags"},
    {KX_ERR_BAUD_RATE, "KX_ERR_BAUD_RATE",
     "Baud rate not set: no divisor within 3 %, or the request failed"},
    {8, nullptr, nullptr},
    {9, nullptr, nullptr},
    {KX_ERR_WRITE, "KX_ERR_WRITE", "A bulk write failed"},
    {KX_ERR_EE_READ, "KX_ERR_EE_READ", "Reading the EEPROM failed"},
    {KX_ERR_EE_WRITE, "KX_ERR_EE_WRITE",
     "Writing the EEPROM failed, its read-back differs, or the user data does not fit"},
    {KX_ERR_EE_ERASE, "KX_ERR_EE_ERASE", "Erasing the EEPROM failed"},
    {KX_ERR_EE_ABSENT, "KX_ERR_EE_ABSENT", "No EEPROM: its vendor word reads 0x0000"},
    {KX_ERR_EE_BLANK, "KX_ERR_EE_BLANK", "The EEPROM is blank: its vendor word reads 0xFFFF"},
    {KX_ERR_ARGS, "KX_ERR_ARGS", "EEPROM word offset out of range"},
    {KX_ERR_UNSUPPORTED, "KX_ERR_UNSUPPORTED", "Not supported, or not by this chip"},
    {KX_ERR_OTHER, "KX_ERR_OTHER",
     "Other failure: bus scan, string read, EEPROM texts too long, or another read in progress"},
};

constexpr std::size_t kStatusCount = sizeof kStatuses / sizeof kStatuses[0];

constexpr bool IndexedByCode() {
  for (std::size_t i = 0; i < kStatusCount; ++i)
    if (kStatuses[i].code != i) return false;
  return true;
}
// A code added to vexa.h must get its row here, in its place.
static_assert(kStatusCount == KX_ERR_OTHER + 1, "one row per status code up to the last");
static_assert(IndexedByCode(), "row i describes status code i");

const StatusEntry *Find(KX_STATUS status) {
  if (status >= kStatusCount || !kStatuses[status].name) return nullptr;
  return &kStatuses[status];
}

}  // namespace

extern "C" {

KX_API const char *vexa_status_name(KX_STATUS status) {
  const StatusEntry *entry = Find(status);
  return entry ? entry->name : "KX_ERR_UNKNOWN";
}

KX_API const char *vexa_status_text(KX_STATUS status) {
  const StatusEntry *entry = Find(status);
  return entry ? entry->text : "Unknown status code";
}

KX_API const char *vexa_version(void) { return VEXA_VERSION_STRING; }

}  // extern "C"
