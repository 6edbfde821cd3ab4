// Listing and opening by name with any strings and flags, against chips whose
// serial numbers and descriptions come from the input too. Every call gives a
// documented status, writes only inside the buffers it was given, and no
// USB handle stays open.
#include <string>

#include "fuzz_input.h"

namespace {

// The statuses a listing or an open may give.
bool Documented(KX_STATUS status, bool open) {
  return status == KX_OK || status == KX_ERR_NOT_FOUND || status == KX_ERR_OTHER ||
         status == KX_ERR_PARAMETER || (open && status == KX_ERR_NOT_OPENED);
}

// An open gives a handle exactly when it succeeds, and the handle closes.
void CheckOpened(KX_STATUS status, const KX_HANDLE *handle) {
  FUZZ_CHECK(Documented(status, true));
  FUZZ_CHECK((status == KX_OK) == (*handle != nullptr));
  if (*handle) FUZZ_CHECK(KX_Close(*handle) == KX_OK);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in(data, size);
  vexa_sim_reset();
  const int chips = in.Byte() % 4;
  for (int k = 0; k < chips; ++k) {
    const uint8_t kind = in.Byte();
    const std::string serial = in.Text(300), product = in.Text(300);
    const uint16_t revisions[4] = {0x0400, 0x0200, 0x0500, 0x0600};
    vexa_sim_chip_config config = {};
    config.bcd_device = revisions[kind % 4];
    config.interfaces = kind % 4 == 2 ? 2 : 1;
    config.serial = (kind & 0x10) ? nullptr : serial.c_str();
    config.product = (kind & 0x20) ? nullptr : product.c_str();
    vexa_sim_add_chip(&config);
  }

  const uint8_t mode = in.Byte() % 5;
  const uint32_t fuzzed = in.Long();
  constexpr uint32_t kModes = KX_LIST_COUNT | KX_LIST_INDEXED | KX_LIST_EVERY;
  if (mode == 0) {
    uint32_t count = 0;
    const uint32_t flags = in.Flag() ? KX_LIST_COUNT : (fuzzed | KX_LIST_COUNT);
    const KX_STATUS status = KX_ListDevices(&count, nullptr, flags);
    FUZZ_CHECK(flags == KX_LIST_COUNT ? status == KX_OK : status == KX_ERR_PARAMETER);
    FUZZ_CHECK(status != KX_OK || count <= 8);
  } else if (mode == 1) {
    Guarded<258> name;
    const uintptr_t index = in.Byte() % 10;
    const uint32_t flags = (fuzzed & ~kModes) | KX_LIST_INDEXED;
    const KX_STATUS status = KX_ListDevices(reinterpret_cast<void *>(index), name.text(), flags);
    FUZZ_CHECK(Documented(status, false) && name.Intact());
    FUZZ_CHECK(status != KX_OK || name.Terminated());
  } else if (mode == 2) {
    Guarded<258> buffers[4];
    const int slots = in.Byte() % 5;
    char *array[5] = {};
    for (int k = 0; k < slots; ++k) array[k] = buffers[k].text();
    uint32_t count = 0xFFFFFFFFu;
    const KX_STATUS status = KX_ListDevices(array, &count, (fuzzed & ~kModes) | KX_LIST_EVERY);
    FUZZ_CHECK(Documented(status, false));
    for (const auto &buffer : buffers) FUZZ_CHECK(buffer.Intact());
    FUZZ_CHECK(status != KX_OK || count <= static_cast<uint32_t>(slots));
  } else if (mode == 3) {
    // Reach the devices: the bus list is built by the first listing.
    uint32_t count = 0;
    KX_ListDevices(&count, nullptr, KX_LIST_COUNT);
    const std::string name = in.Text(600);
    KX_HANDLE handle = reinterpret_cast<KX_HANDLE>(0x1);
    CheckOpened(KX_OpenEx(name.c_str(), fuzzed, &handle), &handle);
  } else {
    KX_HANDLE handle = nullptr;
    CheckOpened(KX_Open(static_cast<int>(fuzzed % 16) - 4, &handle), &handle);
  }
  FUZZ_CHECK(vexa_sim_open_handles() == 0);
  return 0;
}
