// Program-data records with any texts and flags, in either record form, into
// KX_EE_Program on a revision-4, a revision-2 and a dual-channel chip. The
// call refuses texts that do not fit and programs everything else; what it
// programmed must read back.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

#include "fuzz_input.h"

namespace {

KX_HANDLE handles[3];

// Copies the fields from max_power on, which both record forms lay out alike.
template <typename Record>
void SetTail(Record *record, const uint8_t *bytes) {
  std::memcpy(&record->max_power, bytes, sizeof *record - offsetof(Record, max_power));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  OpenChips("r4,serial=PG0;r2,serial=PG1;dual,serial=PG2", {"PG0", "PG1", "PG2 A"}, handles);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t mode = in.Byte();
  KX_HANDLE handle = handles[mode % 3];
  std::string texts[4];
  char *given[4];  // null: skipped
  for (int k = 0; k < 4; ++k) {
    texts[k] = in.Text(80);
    given[k] = (mode >> (k + 2)) & 1 ? nullptr : &texts[k][0];
  }

  KX_PROGRAM_DATA record = {};
  record.marker_ones = 0xFFFFFFFFu;
  record.layout_version = in.Byte() & 1;
  record.vendor_id = in.Word();
  record.product_id = in.Word();
  SetTexts(&record, given);
  // Every numeric field from the input, the dual-channel ones included.
  uint8_t flags[sizeof(KX_PROGRAM_DATA)];
  for (auto &b : flags) b = in.Byte();
  SetTail(&record, flags);

  KX_STATUS status;
  if (mode & 0x40) {
    KX_PROGRAM_DATA_LEGACY old = {};  // the older form: the same fields without the markers
    old.vendor_id = record.vendor_id;
    old.product_id = record.product_id;
    SetTexts(&old, given);
    SetTail(&old, flags);
    status = KX_EE_Program(handle, reinterpret_cast<KX_PROGRAM_DATA *>(&old));
  } else {
    status = KX_EE_Program(handle, &record);
  }
  FUZZ_CHECK(status == KX_OK || status == KX_ERR_OTHER);
  if (status != KX_OK) return 0;

  Guarded<64> buffers[4];
  KX_PROGRAM_DATA back = {};
  back.marker_ones = 0xFFFFFFFFu;
  SetTexts(&back, {buffers[0].text(), buffers[1].text(), buffers[2].text(), buffers[3].text()});
  const KX_STATUS read = KX_EE_Read(handle, &back);
  // The vendor word doubles as the marker of an absent or erased configuration.
  if (record.vendor_id == 0x0000 || record.vendor_id == 0xFFFF) {
    FUZZ_CHECK(read == (record.vendor_id ? KX_ERR_EE_BLANK : KX_ERR_EE_ABSENT));
    return 0;
  }
  FUZZ_CHECK(read == KX_OK);
  for (const auto &buffer : buffers) FUZZ_CHECK(buffer.Intact());
  FUZZ_CHECK(back.vendor_id == record.vendor_id && back.product_id == record.product_id);
  FUZZ_CHECK(back.max_power <= 500);
  for (int k : {0, 2, 3}) {  // manufacturer, description, serial number
    const std::string sent = given[k] ? given[k] : "";
    // An empty serial number is generated, not kept.
    const bool printable =
        std::all_of(sent.begin(), sent.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
    if (printable && (k < 3 || !sent.empty())) FUZZ_CHECK(sent == buffers[k].text());
  }
  return 0;
}
