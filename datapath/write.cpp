// KX_Write: sends the caller's bytes on the bulk OUT endpoint, synchronously,
// straight from the caller's buffer.
#include <usb.h>

#include "debug_log.h"
#include "device.h"

namespace {
constexpr uint32_t kWriteChunk = 4096;
}  // namespace

KX_STATUS KX_Write(KX_HANDLE handle, const void *buffer, uint32_t n, uint32_t *written) {
  norvec_device *device = as_device(handle);
  if (!device || !buffer || !written) return KX_ERR_PARAMETER;
  if (n == 0) return KX_OK;

  // An application's own write time-out bounds each transfer when it set one.
  const uint32_t write_timeout = device->write_timeout.load();
  const uint32_t timeout = write_timeout != 0 ? write_timeout : device->transfer_timeout.load();
  const char *bytes = static_cast<const char *>(buffer);

  // Unsigned throughout, so counts of 2^31 bytes and more work too.
  uint32_t offset = 0;
  uint32_t total = 0;
  while (offset < n) {
    const uint32_t chunk = n - offset < kWriteChunk ? n - offset : kWriteChunk;
    const int accepted =
        usb_bulk_write(device->usb_handle, static_cast<int>(device->out_endpoint), bytes + offset,
                       static_cast<int>(chunk), static_cast<int>(timeout));
    VEXA_DEBUG_LOG("bulk write endpoint 0x%02x length %u timeout %u ms -> %d", device->out_endpoint,
                   chunk, timeout, accepted);
    if (accepted < 0) {
      device->last_error_text.store("bulk write failed");
      return KX_ERR_WRITE;
    }
    // A short transfer is not retried; it shows only in the final count.
    total += static_cast<uint32_t>(accepted);
    offset += chunk;
  }
  *written = total;
  return KX_OK;
}
