// EEPROM contents of any value, decoded by KX_EE_Read, KX_EE_UASize and
// KX_EE_UARead on the three kinds of image (single-channel, dual-channel with
// a small part, dual-channel with a large part). Nothing may be written
// outside the caller's buffers, and the answers must be consistent.
#include "fuzz_input.h"

namespace {

const unsigned kWords[3] = {64, 64, 256};
KX_HANDLE handles[3];

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  OpenChips("r4,serial=EE0;dual,serial=EE1,eeprom=64;dual,serial=EE2,eeprom=256",
            {"EE0", "EE1 A", "EE2 B"}, handles);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t mode = in.Byte();
  const int chip = mode % 3;
  const uint16_t filler = (mode & 0x80) ? 0xFFFF : 0x0000;
  for (unsigned address = 0; address < kWords[chip]; ++address)
    vexa_sim_eeprom_set(chip, address, in.remaining() >= 2 ? in.Word() : filler);

  // Either record form; a null text pointer asks for that text to be skipped.
  Guarded<64> buffers[4];
  char *texts[4];
  for (int k = 0; k < 4; ++k) texts[k] = (mode >> (k + 2)) & 1 ? nullptr : buffers[k].text();
  KX_PROGRAM_DATA record = {};
  record.marker_ones = 0xFFFFFFFFu;
  KX_PROGRAM_DATA_LEGACY old = {};
  SetTexts(&record, texts);
  SetTexts(&old, texts);
  const KX_STATUS status = KX_EE_Read(
      handles[chip], (mode & 0x40) ? reinterpret_cast<KX_PROGRAM_DATA *>(&old) : &record);
  FUZZ_CHECK(status == KX_OK || status == KX_ERR_EE_ABSENT || status == KX_ERR_EE_BLANK);
  for (int k = 0; k < 4; ++k) {
    FUZZ_CHECK(buffers[k].Intact());
    if (status == KX_OK && texts[k]) FUZZ_CHECK(buffers[k].Terminated());
  }

  uint32_t area = 0xFFFFFFFFu;
  FUZZ_CHECK(KX_EE_UASize(handles[chip], &area) == KX_OK);
  FUZZ_CHECK(area <= 2 * kWords[chip]);
  Guarded<512> user;
  const uint32_t asked = in.Flag() ? area : in.Word() % 513;
  uint32_t returned = 0xFFFFFFFFu;
  FUZZ_CHECK(KX_EE_UARead(handles[chip], user.data(), asked, &returned) == KX_OK);
  FUZZ_CHECK(user.Intact());
  if (asked != 0) FUZZ_CHECK(returned == (asked < area ? asked : area));
  return 0;
}
