// usb_bulk_read and usb_bulk_write over the chip model, with libusb 0.1's
// way of moving a transfer: URBs of at most 16 KiB, one after the other,
// until a short one or the end of the buffer.
#include <algorithm>
#include <cerrno>

#include "sim_internal.h"

using namespace vexa_sim;

SIM_EXPORT int usb_bulk_read(usb_dev_handle *handle, int endpoint, char *bytes, int size, int timeout) {
  std::unique_lock<std::mutex> lock(sim().mutex);
  endpoint = (endpoint & 0xFF) | USB_ENDPOINT_IN;  // as libusb 0.1 does
  const int chip_id = handle ? handle->chip->id : -1;
  auto finish = [&](int requested, int result) {
    log_bulk(VEXA_SIM_LOG_BULK_IN, chip_id, endpoint, requested, result);
    return remember_result(result);
  };
  int result = check_handle(handle);
  if (result) return finish(size, result);
  std::shared_ptr<Chip> chip = handle->chip;
  const int k = bulk_interface(*chip, endpoint, true, handle);
  if (k < 0) return finish(size, k);
  if (size < 0 || (size > 0 && !bytes)) return finish(size, -EINVAL);
  if (fault_fires(VEXA_SIM_FAULT_BULK_READ, chip->id, k, -1, &result)) return finish(size, result);
  if (size == 0) return finish(0, 0);

  // A time-out of 0 waits for ever; otherwise it bounds the whole call.
  const bool forever = timeout <= 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeout);
  auto *out = reinterpret_cast<uint8_t *>(bytes);
  int done = 0;
  for (;;) {
    BulkIn urb;
    urb.interface = k;
    urb.size = std::min(size - done, kMaxUrbBytes);
    std::optional<Clock::time_point> wake;
    for (;;) {
      // At or past the deadline the step is judged as of the deadline itself,
      // so a late wake-up cannot count frames that began after it.
      const Clock::time_point now = Clock::now();
      const bool expired = !forever && now >= deadline;
      if (bulk_in_step(*chip, urb, out + done, expired ? deadline : now, expired, &result, &wake)) break;
      std::optional<Clock::time_point> limit = wake;
      if (!forever && (!limit || deadline < *limit)) limit = deadline;
      if (limit) chip->changed.wait_until(lock, *limit);
      else chip->changed.wait(lock);
    }
    // A time-out loses even the bytes of earlier URBs of this call.
    if (result < 0) return finish(urb.size, result);
    log_bulk(VEXA_SIM_LOG_BULK_IN, chip_id, endpoint, urb.size, result);
    done += result;
    if (result < urb.size || done >= size) return remember_result(done);
  }
}

SIM_EXPORT int usb_bulk_write(usb_dev_handle *handle, int endpoint, const char *bytes, int size, int) {
  std::lock_guard<std::mutex> lock(sim().mutex);
  endpoint = endpoint & 0x7F;  // as libusb 0.1 does
  const int chip_id = handle ? handle->chip->id : -1;
  auto finish = [&](int requested, int result) {
    log_bulk(VEXA_SIM_LOG_BULK_OUT, chip_id, endpoint, requested, result);
    return remember_result(result);
  };
  int result = check_handle(handle);
  if (result) return finish(size, result);
  Chip &chip = *handle->chip;
  const int k = bulk_interface(chip, endpoint, false, handle);
  if (k < 0) return finish(size, k);
  if (size < 0 || (size > 0 && !bytes)) return finish(size, -EINVAL);
  if (fault_fires(VEXA_SIM_FAULT_BULK_WRITE, chip.id, k, -1, &result)) return finish(size, result);
  const auto *data = reinterpret_cast<const uint8_t *>(bytes);
  int done = 0;
  do {
    const int requested = std::min(size - done, kMaxUrbBytes);
    const int accepted = bulk_out(chip, k, data + done, requested);
    log_bulk(VEXA_SIM_LOG_BULK_OUT, chip_id, endpoint, requested, accepted);
    done += accepted;
    if (accepted < requested) break;
  } while (done < size);
  return done;
}
