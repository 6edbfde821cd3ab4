// EEPROM contents of any value, decoded by KX_EE_Read, KX_EE_UASize and
// KX_EE_UARead on the three kinds of image (single-channel, dual-channel with
// a small part, dual-channel with a large part). Nothing may be written
// outside the caller's buffers, and the answers must be consistent.
#include <cstring>

#include "fuzz_input.h"
#include "vexa.h"
#include "vexa_sim.h"

namespace {

struct Target {
  int chip;
  int words;
  KX_HANDLE handle;
};
Target targets[3];

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  vexa_sim_reset();
  FUZZ_CHECK(vexa_sim_add_chips_from_text("r4,serial=EE0;dual,serial=EE1,eeprom=64;dual,serial=EE2,eeprom=256") == 3);
  const char *channels[3] = {"EE0", "EE1 A", "EE2 B"};
  uint32_t count = 0;
  KX_ListDevices(&count, nullptr, KX_LIST_COUNT);
  for (int k = 0; k < 3; ++k) {
    targets[k] = {k, k == 2 ? 256 : 64, nullptr};
    FUZZ_CHECK(KX_OpenEx(channels[k], KX_MATCH_SERIAL, &targets[k].handle) == KX_OK);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t mode = in.Byte();
  const Target &target = targets[mode % 3];
  const uint16_t filler = (mode & 0x80) ? 0xFFFF : 0x0000;
  for (int address = 0; address < target.words; ++address) {
    uint16_t word = in.remaining() >= 2 ? in.Word() : filler;
    vexa_sim_eeprom_set(target.chip, static_cast<unsigned>(address), word);
  }

  Guarded<64> buffers[4];  // manufacturer, its prefix, description, serial number
  KX_PROGRAM_DATA record = {};
  const bool legacy = mode & 0x40;
  if (!legacy) record.marker_ones = 0xFFFFFFFFu;
  KX_PROGRAM_DATA_LEGACY old = {};
  char **texts[4] = {legacy ? &old.manufacturer : &record.manufacturer,
                      legacy ? &old.manufacturer_id : &record.manufacturer_id,
                      legacy ? &old.description : &record.description,
                      legacy ? &old.serial_number : &record.serial_number};
  // A null text pointer asks for that text to be skipped.
  for (int k = 0; k < 4; ++k) *texts[k] = (mode >> (k + 2)) & 1 ? nullptr : buffers[k].text();
  void *argument = legacy ? static_cast<void *>(&old) : static_cast<void *>(&record);
  const KX_STATUS status = KX_EE_Read(target.handle, static_cast<KX_PROGRAM_DATA *>(argument));
  FUZZ_CHECK(status == KX_OK || status == KX_ERR_EE_ABSENT || status == KX_ERR_EE_BLANK);
  for (int k = 0; k < 4; ++k) {
    FUZZ_CHECK(buffers[k].Intact());
    if (status == KX_OK && *texts[k]) FUZZ_CHECK(buffers[k].Terminated());
  }

  uint32_t area = 0xFFFFFFFFu;
  FUZZ_CHECK(KX_EE_UASize(target.handle, &area) == KX_OK);
  FUZZ_CHECK(area <= 2u * static_cast<uint32_t>(target.words));
  Guarded<512> user;
  const uint32_t asked = in.Flag() ? area : in.Word() % 513;
  uint32_t returned = 0xFFFFFFFFu;
  FUZZ_CHECK(KX_EE_UARead(target.handle, user.data(), asked, &returned) == KX_OK);
  FUZZ_CHECK(user.Intact());
  if (asked != 0) FUZZ_CHECK(returned == (asked < area ? asked : area));
  return 0;
}
