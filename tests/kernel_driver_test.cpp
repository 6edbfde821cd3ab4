// Opening a channel whose interface a kernel driver holds: the driver is
// detached from that one interface, never from another channel.
#include <limits.h>
#include <usb.h>

#include <string>

#include "sim_fixture.h"

namespace {

constexpr char kDriver[] = "usbserial_generic";

class KernelDriver : public SimTest {
 protected:
  // The driver bound to an interface of the first device, as libusb reports it ("" for none).
  static std::string DriverOf(int interface) {
    struct usb_device *device = usb_get_busses()->devices;
    usb_dev_handle *handle = usb_open(device);
    char name[32] = {};
    int result = usb_get_driver_np(handle, interface, name, sizeof name - 1);
    usb_close(handle);
    return result < 0 ? "" : name;
  }
};

TEST_F(KernelDriver, IsDetachedFromTheOpenedChannelOnly) {
  int chip = AddDual("AB12", "Dual");
  vexa_sim_set_kernel_driver(chip, 0, kDriver);
  vexa_sim_set_kernel_driver(chip, 1, kDriver);
  KX_HANDLE a = OpenBy("AB12 A", KX_MATCH_SERIAL);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(State(chip, 0).claimed, 1);
  EXPECT_EQ(DriverOf(0), "usbfs") << "channel A is now ours";
  EXPECT_EQ(DriverOf(1), kDriver) << "channel B keeps its kernel driver";
  uint32_t written = 0;
  EXPECT_EQ(KX_Write(a, "x", 1, &written), KX_OK);
  EXPECT_EQ(TakeTx(chip, 0), "x");
}

TEST_F(KernelDriver, AFailedDetachReleasesEverything) {
  int chip = AddSingle("CD34", "Single");
  vexa_sim_set_kernel_driver(chip, 0, kDriver);
  Inject(Fault(VEXA_SIM_FAULT_DETACH, -1 /* EPERM */));
  KX_HANDLE handle = reinterpret_cast<KX_HANDLE>(1);
  EXPECT_EQ(KX_Open(0, &handle), KX_ERR_NOT_OPENED);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(vexa_sim_open_handles(), 0);
  EXPECT_EQ(DriverOf(0), kDriver);
  vexa_sim_clear_faults();
  Close(Open(0));
}

}  // namespace
