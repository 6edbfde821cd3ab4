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

// Bytes from `first` to the end of the record.
size_t TailSize(const void *record, const void *first, size_t size) {
  return size - static_cast<size_t>(static_cast<const uint8_t *>(first) - static_cast<const uint8_t *>(record));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  vexa_sim_reset();
  FUZZ_CHECK(vexa_sim_add_chips_from_text("r4,serial=PG0;r2,serial=PG1;dual,serial=PG2") == 3);
  const char *channels[3] = {"PG0", "PG1", "PG2 A"};
  uint32_t count = 0;
  KX_ListDevices(&count, nullptr, KX_LIST_COUNT);
  for (int k = 0; k < 3; ++k) FUZZ_CHECK(KX_OpenEx(channels[k], KX_MATCH_SERIAL, &handles[k]) == KX_OK);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t mode = in.Byte();
  KX_HANDLE handle = handles[mode % 3];
  std::string texts[4];
  for (auto &text : texts) text = in.Text(80);
  auto given = [&](int k) { return (mode >> (k + 2)) & 1 ? nullptr : &texts[k][0]; };  // null: skipped

  KX_PROGRAM_DATA record = {};
  record.marker_ones = 0xFFFFFFFFu;
  record.layout_version = in.Byte() & 1;
  record.vendor_id = in.Word();
  record.product_id = in.Word();
  record.manufacturer = given(0);
  record.manufacturer_id = given(1);
  record.description = given(2);
  record.serial_number = given(3);
  // Every numeric field from the input, the dual-channel ones included. The
  // fields from max_power on are laid out alike in both record forms.
  uint8_t flags[sizeof(KX_PROGRAM_DATA)];
  for (auto &b : flags) b = in.Byte();
  std::memcpy(&record.max_power, flags, TailSize(&record, &record.max_power, sizeof record));

  KX_STATUS status;
  if (mode & 0x40) {
    // The older form: the same fields without the markers.
    KX_PROGRAM_DATA_LEGACY old = {};
    old.vendor_id = record.vendor_id, old.product_id = record.product_id;
    old.manufacturer = record.manufacturer, old.manufacturer_id = record.manufacturer_id;
    old.description = record.description, old.serial_number = record.serial_number;
    std::memcpy(&old.max_power, flags, TailSize(&old, &old.max_power, sizeof old));
    status = KX_EE_Program(handle, reinterpret_cast<KX_PROGRAM_DATA *>(&old));
  } else {
    status = KX_EE_Program(handle, &record);
  }
  FUZZ_CHECK(status == KX_OK || status == KX_ERR_OTHER);
  if (status != KX_OK) return 0;

  Guarded<64> manufacturer, prefix, description, serial;
  KX_PROGRAM_DATA back = {};
  back.marker_ones = 0xFFFFFFFFu;
  back.manufacturer = manufacturer.text(), back.manufacturer_id = prefix.text();
  back.description = description.text(), back.serial_number = serial.text();
  const KX_STATUS read = KX_EE_Read(handle, &back);
  // The vendor word doubles as the marker of an absent or erased configuration.
  if (record.vendor_id == 0x0000 || record.vendor_id == 0xFFFF) {
    FUZZ_CHECK(read == (record.vendor_id ? KX_ERR_EE_BLANK : KX_ERR_EE_ABSENT));
    return 0;
  }
  FUZZ_CHECK(read == KX_OK);
  FUZZ_CHECK(manufacturer.Intact() && prefix.Intact() && description.Intact() && serial.Intact());
  FUZZ_CHECK(back.vendor_id == record.vendor_id && back.product_id == record.product_id);
  FUZZ_CHECK(back.max_power <= 500);
  const char *sent[3] = {record.manufacturer, record.description, record.serial_number};
  const char *read_back[3] = {manufacturer.text(), description.text(), serial.text()};
  for (int k = 0; k < 3; ++k) {
    const std::string text = sent[k] ? sent[k] : "";
    // An empty serial number is generated, not kept.
    if (Printable(text) && (k < 2 || !text.empty())) FUZZ_CHECK(text == read_back[k]);
  }
  return 0;
}
