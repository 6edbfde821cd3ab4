// Opening and closing channels: the scan by index and by name, the channel a
// handle is bound to, kernel drivers, and every failure path releasing what it took.
#include <usb.h>

#include <string>

#include "device.h"
#include "sim_fixture.h"

namespace {

class Opening : public SimTest {
 protected:
  // Opens by index (name null) or by name; expects a failure with a null
  // handle output and nothing left open.
  static void ExpectOpenFails(int index, const char *name, KX_STATUS expected) {
    SCOPED_TRACE(name ? name : "by index");
    const int open_before = vexa_sim_open_handles();
    KX_HANDLE handle = reinterpret_cast<KX_HANDLE>(0x1);
    EXPECT_EQ(name ? KX_OpenEx(name, KX_MATCH_SERIAL, &handle) : KX_Open(index, &handle), expected);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(vexa_sim_open_handles(), open_before) << "a failed open left a USB handle open";
  }
  // The channel a handle is bound to: interface, port index and both endpoints.
  static std::vector<uint32_t> Channel(KX_HANDLE handle) {
    const norvec_device *d = as_device(handle);
    return {d->interface, d->port_index, d->out_endpoint, d->in_endpoint};
  }
};

constexpr char kDriver[] = "usbserial_generic";

// The driver bound to an interface of the first device, as libusb reports it ("" for none).
std::string DriverOf(int interface) {
  usb_dev_handle *handle = usb_open(usb_get_busses()->devices);
  char name[32] = {};
  const int result = usb_get_driver_np(handle, interface, name, sizeof name - 1);
  usb_close(handle);
  return result < 0 ? "" : name;
}

// A kernel driver is detached from the opened channel's interface only.
TEST_F(Opening, KernelDriverIsDetachedFromTheOpenedChannelOnly) {
  int chip = AddDual("AB12", "Dual");
  vexa_sim_set_kernel_driver(chip, 0, kDriver);
  vexa_sim_set_kernel_driver(chip, 1, kDriver);
  OpenBy("AB12 A", KX_MATCH_SERIAL);
  EXPECT_EQ(State(chip, 0).claimed, 1);
  EXPECT_EQ(DriverOf(0), "usbfs") << "channel A is now ours";
  EXPECT_EQ(DriverOf(1), kDriver) << "channel B keeps its kernel driver";
}

const std::vector<uint32_t> kChannelA = {0, 1, 0x02, 0x81}, kChannelB = {1, 2, 0x04, 0x83};

TEST_F(Opening, IndexesCountChannelsOfKnownRevisionsOnly) {
  int single = AddSingle("S600", "Single", 0x0600);
  AddSingle("S700", "Unknown revision", 0x0700);
  int dual = AddDual("D500", "Dual");
  KX_HANDLE first = Open(0), a = Open(1), b = Open(2);
  EXPECT_EQ(Channel(first), kChannelA);
  EXPECT_EQ(Channel(a), kChannelA);
  EXPECT_EQ(Channel(b), kChannelB);
  EXPECT_EQ(State(single, 0).claimed + State(dual, 0).claimed + State(dual, 1).claimed, 3);
  EXPECT_EQ(as_device(b)->max_packet_size, 64u) << "channel B keeps the packet size of interface 0";
  ExpectOpenFails(3, nullptr, KX_ERR_NOT_FOUND);
}

// Devices without the string, or whose string read fails, do not match: the
// search goes on.
TEST_F(Opening, ByNameWithChannelLetters) {
  AddDual("AB12", "Dual port");
  AddSingle("CD34", "Single port");
  AddSingle("EF5", "Short");
  AddSingle("EF56", "Longer");
  AddSingle(nullptr, "No serial");
  AddSingle("XY9", "Unreadable");
  AddSingle("XY9", "Good");
  EXPECT_EQ(Channel(OpenBy("AB12", KX_MATCH_SERIAL)), kChannelA);
  EXPECT_EQ(Channel(OpenBy("AB12 b", KX_MATCH_SERIAL)), kChannelB);
  ExpectOpenFails(0, "CD34 B", KX_ERR_NOT_OPENED);  // no interface 1
  ExpectOpenFails(0, "EF56", KX_ERR_NOT_OPENED);    // a shorter serial that prefixes it stops the search
  ExpectOpenFails(0, "GH78", KX_ERR_NOT_FOUND);
  Inject(Fault(VEXA_SIM_FAULT_STRING, -71, 5));
  KX_HANDLE handle = OpenBy("XY9", KX_MATCH_SERIAL);
  char description[67] = "";
  EXPECT_EQ(KX_GetDeviceInfo(handle, nullptr, nullptr, nullptr, description, nullptr), KX_OK);
  EXPECT_STREQ(description, "Good");
}

TEST_F(Opening, FailureRowsReleaseEverything) {
  const int chip = AddDual("AB12", "Dual");
  AddSingle("TINY", "Tiny", 0x0400, 2);
  vexa_sim_chip_config bare{};
  bare.serial = "BARE";
  bare.no_configuration = 1;
  AddChip(bare);
  ExpectOpenFails(2, nullptr, KX_ERR_NOT_OPENED);  // packets too small for the status bytes
  ExpectOpenFails(0, "BARE", KX_ERR_NOT_OPENED);   // no descriptors to take a packet size from
  Inject(Fault(VEXA_SIM_FAULT_OPEN, 0, -1, -1, 0, 1));
  ExpectOpenFails(0, nullptr, KX_ERR_NOT_OPENED);
  Inject(Fault(VEXA_SIM_FAULT_CLAIM, -16, -1, -1, 0, 2));
  ExpectOpenFails(1, nullptr, KX_ERR_NOT_OPENED);
  ExpectOpenFails(0, "AB12 A", KX_ERR_NOT_OPENED);
  // A kernel driver that cannot be detached (EPERM) stays bound.
  vexa_sim_set_kernel_driver(chip, 0, kDriver);
  Inject(Fault(VEXA_SIM_FAULT_DETACH, -1));
  ExpectOpenFails(0, nullptr, KX_ERR_NOT_OPENED);
  EXPECT_EQ(DriverOf(0), kDriver);
  vexa_sim_clear_faults();
  Close(Open(1));
}

TEST_F(Opening, TheFirstOpenBuildsTheBusListAndReportsAFailedScan) {
  AddSingle("CD34", "Single");
  Inject(Fault(VEXA_SIM_FAULT_FIND_BUSSES, -5));
  ExpectOpenFails(0, nullptr, KX_ERR_OTHER);
  vexa_sim_clear_faults();
  Close(Open(0));
  // The list is not rebuilt by an open: a chip attached now needs a listing.
  AddSingle("EF56", "Late");
  ExpectOpenFails(0, "EF56", KX_ERR_NOT_FOUND);
  uint32_t count = 0;
  EXPECT_EQ(KX_ListDevices(&count, nullptr, KX_LIST_COUNT), KX_OK);
  Close(OpenBy("EF56", KX_MATCH_SERIAL));
}

}  // namespace
