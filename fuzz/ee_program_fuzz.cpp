// Program-data records with any texts and flags, in either record form, into
// KX_EE_Program on a revision-4, a revision-2 and a dual-channel chip. The
// call refuses texts that do not fit and programs everything else; what it
// programmed must read back.
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "vexa.h"
#include "vexa_sim.h"

namespace {

KX_HANDLE handles[3];

bool Printable(const std::string &text) {
  for (char c : text)
    if (c < 0x20 || c > 0x7E) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  vexa_sim_reset();
  const uint16_t revisions[3] = {0x0400, 0x0200, 0x0500};
  const char *serials[3] = {"PG0", "PG1", "PG2"};
  for (int k = 0; k < 3; ++k) {
    vexa_sim_chip_config config = {};
    config.bcd_device = revisions[k];
    config.interfaces = k == 2 ? 2 : 1;
    config.id_product = k == 2 ? 0x6010 : 0x6001;
    config.serial = serials[k];
    config.product = "Program";
    config.eeprom_words = k == 2 ? 128 : 64;
    vexa_sim_add_chip(&config);
  }
  uint32_t count = 0;
  KX_ListDevices(&count, nullptr, KX_LIST_COUNT);
  FUZZ_CHECK(KX_OpenEx("PG0", KX_MATCH_SERIAL, &handles[0]) == KX_OK);
  FUZZ_CHECK(KX_OpenEx("PG1", KX_MATCH_SERIAL, &handles[1]) == KX_OK);
  FUZZ_CHECK(KX_OpenEx("PG2 A", KX_MATCH_SERIAL, &handles[2]) == KX_OK);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t mode = in.Byte();
  KX_HANDLE handle = handles[mode % 3];
  std::string texts[4];
  for (auto &text : texts) text = in.Text(80);
  const bool null_text[4] = {(mode & 0x04) != 0, (mode & 0x08) != 0, (mode & 0x10) != 0,
                             (mode & 0x20) != 0};

  KX_PROGRAM_DATA record = {};
  record.marker_ones = 0xFFFFFFFFu;
  record.layout_version = in.Byte() & 1;
  record.vendor_id = in.Word();
  record.product_id = in.Word();
  char *pointers[4];
  for (int k = 0; k < 4; ++k) pointers[k] = null_text[k] ? nullptr : &texts[k][0];
  record.manufacturer = pointers[0];
  record.manufacturer_id = pointers[1];
  record.description = pointers[2];
  record.serial_number = pointers[3];
  // Every numeric field from the input, the dual-channel ones included. The
  // fields from max_power on are laid out alike in both record forms.
  uint8_t flags[sizeof(KX_PROGRAM_DATA)];
  for (auto &b : flags) b = in.Byte();
  auto tail_size = [](const void *record, const void *first, size_t size) {
    return size - static_cast<size_t>(static_cast<const uint8_t *>(first) -
                                      static_cast<const uint8_t *>(record));
  };
  std::memcpy(&record.max_power, flags, tail_size(&record, &record.max_power, sizeof record));

  KX_STATUS status;
  if (mode & 0x40) {
    // The older form: the same fields without the markers.
    KX_PROGRAM_DATA_LEGACY old = {};
    old.vendor_id = record.vendor_id;
    old.product_id = record.product_id;
    old.manufacturer = record.manufacturer;
    old.manufacturer_id = record.manufacturer_id;
    old.description = record.description;
    old.serial_number = record.serial_number;
    std::memcpy(&old.max_power, flags, tail_size(&old, &old.max_power, sizeof old));
    status = KX_EE_Program(handle, reinterpret_cast<KX_PROGRAM_DATA *>(&old));
  } else {
    status = KX_EE_Program(handle, &record);
  }
  FUZZ_CHECK(status == KX_OK || status == KX_ERR_OTHER);
  if (status != KX_OK) return 0;

  Guarded<64> manufacturer, prefix, description, serial;
  KX_PROGRAM_DATA back = {};
  back.marker_ones = 0xFFFFFFFFu;
  back.manufacturer = manufacturer.text();
  back.manufacturer_id = prefix.text();
  back.description = description.text();
  back.serial_number = serial.text();
  const KX_STATUS read = KX_EE_Read(handle, &back);
  // The vendor word doubles as the marker of an absent or erased configuration.
  if (record.vendor_id == 0x0000) FUZZ_CHECK(read == KX_ERR_EE_ABSENT);
  if (record.vendor_id == 0xFFFF) FUZZ_CHECK(read == KX_ERR_EE_BLANK);
  if (record.vendor_id == 0x0000 || record.vendor_id == 0xFFFF) return 0;
  FUZZ_CHECK(read == KX_OK);
  FUZZ_CHECK(manufacturer.Intact() && prefix.Intact() && description.Intact() && serial.Intact());
  FUZZ_CHECK(back.vendor_id == record.vendor_id && back.product_id == record.product_id);
  FUZZ_CHECK(back.max_power <= 500);
  const std::string given[3] = {null_text[0] ? "" : texts[0].c_str(),
                                null_text[2] ? "" : texts[2].c_str(),
                                null_text[3] ? "" : texts[3].c_str()};
  if (Printable(given[0])) FUZZ_CHECK(given[0] == manufacturer.text());
  if (Printable(given[1])) FUZZ_CHECK(given[1] == description.text());
  if (!given[2].empty() && Printable(given[2])) FUZZ_CHECK(given[2] == serial.text());
  return 0;
}
