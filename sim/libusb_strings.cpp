// Descriptor and string reads through the default pipe, with libusb 0.1.12's conversion of string
// descriptors into 8-bit text.
#include <cerrno>

#include "sim_internal.h"

using namespace vexa_sim;

namespace {

// One GET_DESCRIPTOR request on the default pipe, as libusb 0.1 sends it.
int read_descriptor(usb_dev_handle *handle, int type, int index, int language, void *buf, int size) {
  std::lock_guard<std::mutex> lock(sim().mutex);
  int result = check_handle(handle);
  if (result) return result;
  if (!buf || size < 0) return -EINVAL;
  return control_transfer(*handle->chip, handle, USB_ENDPOINT_IN, USB_REQ_GET_DESCRIPTOR,
                          (type << 8) | (index & 0xFF), language, static_cast<uint8_t *>(buf), size);
}

}  // namespace

SIM_EXPORT int usb_get_string(usb_dev_handle *handle, int index, int language, char *buf, size_t buflen) {
  int size = buflen > 255 ? 255 : static_cast<int>(buflen);
  return remember_result(read_descriptor(handle, USB_DT_STRING, index, language, buf, size));
}

SIM_EXPORT int usb_get_string_simple(usb_dev_handle *handle, int index, char *buf, size_t buflen) {
  if (!handle || !buf || buflen == 0) return remember_result(-EINVAL);
  {
    std::lock_guard<std::mutex> lock(sim().mutex);
    int result = check_handle(handle);
    if (result) return remember_result(result);
    if (fault_fires(VEXA_SIM_FAULT_STRING, handle->chip->id, -1, index, &result))
      return remember_result(result);
  }
  // As libusb 0.1.12: the language table first, then the string in the
  // first language it names.
  unsigned char table[255];
  int ret = usb_get_string(handle, 0, 0, reinterpret_cast<char *>(table), sizeof(table));
  if (ret < 0) return ret;
  if (ret < 4) return remember_result(-EIO);
  int langid = table[2] | (table[3] << 8);
  ret = usb_get_string(handle, index, langid, reinterpret_cast<char *>(table), sizeof(table));
  if (ret < 0) return ret;
  if (table[1] != USB_DT_STRING) return remember_result(-EIO);
  if (table[0] > ret) return remember_result(-EFBIG);
  // Each UTF-16 unit with a non-zero high byte becomes '?'; others keep their low byte.
  size_t out = 0;
  for (int in = 2; in < table[0]; in += 2) {
    if (out >= buflen - 1) break;
    buf[out++] = table[in + 1] ? '?' : static_cast<char>(table[in]);
  }
  buf[out] = '\0';
  return static_cast<int>(out);
}

SIM_EXPORT int usb_get_descriptor(usb_dev_handle *handle, unsigned char type, unsigned char index,
                                  void *buf, int size) {
  return remember_result(read_descriptor(handle, type, index, 0, buf, size));
}

SIM_EXPORT int usb_get_descriptor_by_endpoint(usb_dev_handle *handle, int, unsigned char type,
                                              unsigned char index, void *buf, int size) {
  // Descriptors come from the default pipe whatever endpoint is named.
  return remember_result(read_descriptor(handle, type, index, 0, buf, size));
}
