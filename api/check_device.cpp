// Which USB devices the library deals with: a built-in table of vendor and
// product identifiers with one row the application may change, or an optional
// acceptance library that decides instead.
#include <dlfcn.h>

#include <atomic>

#include "discovery.h"

namespace {

struct IdRow {
  uint32_t vendor_id;
  uint32_t product_id;
};

constexpr int kUserRow = 6;

IdRow id_table[7] = {
    {0x0403, 0x6010}, {0x0403, 0x6001}, {0x08AC, 0x1025}, {0x0403, 0x6006},
    {0x0403, 0xFAC1}, {0x15D6, 0x0001}, {0x0403, 0x6001},
};

using CheckFunction = int (*)(int, int);

// Selected on the first acceptance test, not at load time: loading the
// library runs none of its code.
std::atomic<CheckFunction> gCheckDevice{nullptr};
void *gLibHandle = nullptr;

}  // namespace

int local_check_device(int vendor_id, int product_id) {
  for (const IdRow &row : id_table)
    if (row.vendor_id == static_cast<uint32_t>(vendor_id) &&
        row.product_id == static_cast<uint32_t>(product_id))
      return 1;
  return 0;
}

void InitCheckDevice() {
  if (gCheckDevice.load() == local_check_device) return;
  void *library = dlopen("libvexa_table.so", RTLD_LAZY);
  if (!library) {
    gCheckDevice = local_check_device;
    return;
  }
  dlerror();  // clear a stale error so that the next dlerror speaks of this lookup
  void *symbol = dlsym(library, "lib_check_device");
  if (dlerror() != nullptr) {
    gCheckDevice = local_check_device;
    dlclose(library);
    return;
  }
  // The loader hands back the same handle on every open and counts each one;
  // keep exactly one reference so that DeinitCheckDevice really unloads it.
  if (gLibHandle == library)
    dlclose(library);
  else if (gLibHandle)
    dlclose(gLibHandle);
  gLibHandle = library;
  gCheckDevice = reinterpret_cast<CheckFunction>(symbol);
}

void DeinitCheckDevice() {
  gCheckDevice = nullptr;
  if (gLibHandle) {
    dlclose(gLibHandle);
    gLibHandle = nullptr;
  }
}

int check_device(int vendor_id, int product_id) {
  InitCheckDevice();
  return gCheckDevice.load()(vendor_id, product_id);
}

extern "C" {

KX_API void my_init(void) { InitCheckDevice(); }

KX_API void my_fini(void) { DeinitCheckDevice(); }

KX_API KX_STATUS KX_SetVIDPID(uint32_t vendor_id, uint32_t product_id) {
  if (vendor_id) id_table[kUserRow].vendor_id = vendor_id & 0xFFFF;
  if (product_id) id_table[kUserRow].product_id = product_id & 0xFFFF;
  return KX_OK;
}

KX_API KX_STATUS KX_GetVIDPID(uint32_t *vendor_id, uint32_t *product_id) {
  // The pointers must be valid; a null one is skipped rather than crashing.
  if (vendor_id) *vendor_id = id_table[kUserRow].vendor_id;
  if (product_id) *product_id = id_table[kUserRow].product_id;
  return KX_OK;
}

}  // extern "C"
