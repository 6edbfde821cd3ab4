// usb_control_msg: vendor requests reach the chip, anything else stalls.
#include <cerrno>
#include <cstring>

#include "sim_internal.h"

using namespace vexa_sim;

namespace {

// The channel a fault filter sees: the port the request names, or for
// chip-wide requests (reset, EEPROM, divisor on single-channel chips) the
// interface the calling handle holds.
int fault_channel(const Handle &handle, int request, int value, int index) {
  const Chip &chip = *handle.chip;
  bool names_port = (request == 0 && value != 0) || (request == 3 && chip.bcd == 0x0500) ||
                    (request >= 1 && request <= 12 && request != 3);
  if (names_port) return vendor_request_channel(chip, request, index);
  for (size_t k = 0; k < chip.channels.size(); ++k)
    if (chip.channels[k].claimed_by == &handle) return static_cast<int>(k);
  return -1;
}

}  // namespace

SIM_EXPORT int usb_control_msg(usb_dev_handle *handle, int request_type, int request, int value,
                               int index, char *bytes, int size, int) {
  std::lock_guard<std::mutex> lock(sim().mutex);
  request_type &= 0xFF;
  request &= 0xFF;
  value &= 0xFFFF;
  index &= 0xFFFF;
  const int chip_id = handle ? handle->chip->id : -1;
  auto finish = [&](int result) {
    log_control(chip_id, request_type, request, value, index, size, result);
    return remember_result(result);
  };
  int result = check_handle(handle);
  if (result) return finish(result);
  if (size < 0 || size > 0xFFFF || (size > 0 && !bytes)) return finish(-EINVAL);
  Chip &chip = *handle->chip;

  int fault_result = 0;
  const bool faulted = fault_fires(VEXA_SIM_FAULT_CONTROL, chip.id,
                                   fault_channel(*handle, request, value, index), request, &fault_result);
  if (faulted && fault_result < 0) return finish(fault_result);

  // The device only knows vendor requests to itself; a standard or class
  // request, or one for an interface or endpoint, is stalled.
  if (request_type != 0x40 && request_type != 0xC0) return finish(-EPIPE);
  std::vector<uint8_t> reply(static_cast<size_t>(size));
  if (request_type == 0x40 && size > 0) std::memcpy(reply.data(), bytes, static_cast<size_t>(size));
  result = vendor_request(chip, request_type, request, value, index, reply.data(), size, nullptr);
  if (result < 0) return finish(result);
  if (faulted) {
    // A short reply: the request took effect, but only part of it came back.
    result = fault_result < result ? fault_result : (request_type == 0xC0 ? result : fault_result);
  }
  if (request_type == 0xC0 && result > 0) std::memcpy(bytes, reply.data(), static_cast<size_t>(result));
  return finish(result);
}
