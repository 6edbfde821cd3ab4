// The kernel side of USB, emulated for umockdev: device nodes under
// /dev/bus/usb whose read() and USBDEVFS_* ioctls are answered by the
// simulator's chip model, so that the real libusb 0.1 drives our simulated
// chips as it would drive hardware through usbfs.
//
// The ioctl handlers run on umockdev's worker thread; everything they share
// with the test thread is behind `mutex_` (taken before the model's mutex,
// never after it).
#ifndef VEXA_USBFS_EMULATION_H
#define VEXA_USBFS_EMULATION_H

#include <umockdev.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class UsbfsEmulation {
 public:
  // Creates the testbed and points libusb at the emulated /dev/bus/usb (bus
  // 001, without a hub: libusb 0.1's users never ask one). Call before the
  // first usb_init.
  UsbfsEmulation();
  ~UsbfsEmulation();
  UsbfsEmulation(const UsbfsEmulation &) = delete;
  UsbfsEmulation &operator=(const UsbfsEmulation &) = delete;

  // Adds the device node of a model chip (device numbers are never reused).
  void Plug(int chip);
  // Removes the chip's node; its open file descriptors see an unplugged device.
  void Unplug(int chip);
  // Removes every chip node.
  void UnplugAll();

  struct Node;
  struct Client;

 private:
  UMockdevTestbed *testbed_ = nullptr;
  std::vector<std::unique_ptr<Node>> nodes_;  // kept while clients may use them
  unsigned next_devnum_ = 2;
};

#endif  // VEXA_USBFS_EMULATION_H
