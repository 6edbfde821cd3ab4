// usb_control_msg: one transfer on the default pipe of the chip model.
#include "sim_internal.h"

using namespace vexa_sim;

SIM_EXPORT int usb_control_msg(usb_dev_handle *handle, int request_type, int request, int value,
                               int index, char *bytes, int size, int) {
  std::lock_guard<std::mutex> lock(sim().mutex);
  int result = check_handle(handle);
  if (result) {
    log_control(handle ? handle->chip->id : -1, request_type & 0xFF, request & 0xFF, value & 0xFFFF,
                index & 0xFFFF, size, result);
    return remember_result(result);
  }
  return remember_result(control_transfer(*handle->chip, handle, request_type, request, value, index,
                                          reinterpret_cast<uint8_t *>(bytes), size));
}
