// The simulated bus as libusb 0.1 shows it: enumeration and rescans,
// descriptors, strings, opening, claims, unplug and text-described chips.
#include <cerrno>
#include <cstring>

#include "sim_test_helpers.h"

using namespace simtest;

namespace {

struct Described {
  int vendor, product, bcd, i_manufacturer, i_product, i_serial, interfaces, packet;
};

// The parsed descriptors of one device: one configuration, and per interface
// k a bulk IN endpoint 0x81 + 2k and a bulk OUT endpoint 0x02 + 2k.
void ExpectDescribed(const struct usb_device *device, const Described &want) {
  const usb_device_descriptor &d = device->descriptor;
  EXPECT_EQ(std::vector<int>({d.idVendor, d.idProduct, d.bcdDevice, d.iManufacturer, d.iProduct, d.iSerialNumber}),
            std::vector<int>({want.vendor, want.product, want.bcd, want.i_manufacturer, want.i_product, want.i_serial}));
  ASSERT_EQ(d.bNumConfigurations, 1);
  ASSERT_EQ(device->config[0].bNumInterfaces, want.interfaces);
  for (int k = 0; k < want.interfaces; ++k) {
    const usb_interface_descriptor &alt = device->config[0].interface[k].altsetting[0];
    ASSERT_EQ(alt.bNumEndpoints, 2);
    EXPECT_EQ(alt.endpoint[0].bEndpointAddress, 0x81 + 2 * k);
    EXPECT_EQ(alt.endpoint[1].bEndpointAddress, 0x02 + 2 * k);
    EXPECT_EQ(alt.endpoint[0].wMaxPacketSize, want.packet);
    EXPECT_EQ(alt.endpoint[1].wMaxPacketSize, want.packet);
  }
}

std::string StringOf(usb_dev_handle *handle, int index) {
  char buf[64] = {};
  return usb_get_string_simple(handle, index, buf, sizeof buf) > 0 ? buf : "";
}

}  // namespace

class SimBusTest : public SimTest {};

TEST_F(SimBusTest, BusListAppearsOnlyWithTheFirstScanAndCountsChanges) {
  AddChip(Chip());
  EXPECT_EQ(usb_busses, nullptr);
  usb_init();
  EXPECT_EQ(usb_get_busses(), nullptr);
  EXPECT_EQ(usb_find_devices(), 0) << "no bus known yet, so nothing to scan";
  EXPECT_EQ(usb_find_busses(), 1);
  EXPECT_EQ(usb_find_busses(), 0);
  ASSERT_NE(usb_busses, nullptr);
  EXPECT_STREQ(usb_busses->dirname, "001");
  EXPECT_EQ(usb_find_devices(), 1);
  EXPECT_EQ(usb_find_devices(), 0);
  AddChip(Chip());
  AddChip(Chip());
  vexa_sim_unplug(0);
  EXPECT_EQ(usb_find_devices(), 3) << "one removed, two added";
  vexa_sim_reset();
  EXPECT_EQ(usb_busses, nullptr);
}

TEST_F(SimBusTest, RescanKeepsEntriesOfAttachedDevicesAndAppendsNewOnes) {
  int first = AddChip(Chip(1, 64, 64, "A"));
  AddChip(Chip(1, 64, 64, "B"));
  auto before = Rescan();
  ASSERT_EQ(before.size(), 2u);
  vexa_sim_unplug(first);
  AddChip(Chip(1, 64, 64, "C"));
  AddChip(Chip(1, 64, 64, "D"));
  EXPECT_EQ(usb_find_devices(), 3);
  auto after = Devices();
  ASSERT_EQ(after.size(), 3u);
  EXPECT_EQ(after[0], before[1]) << "surviving entry keeps its address";
  for (size_t i = 0; i < after.size(); ++i) {
    UsbHandle handle(usb_open(after[i]));
    EXPECT_EQ(StringOf(handle.get(), after[i]->descriptor.iSerialNumber), std::string(1, 'B' + i));
  }
  EXPECT_EQ(after[0]->prev, nullptr);
  EXPECT_EQ(after[1]->prev, after[0]);
  EXPECT_EQ(after[2]->next, nullptr);
}

TEST_F(SimBusTest, DescriptorsDescribeInterfacesAndBulkEndpoints) {
  vexa_sim_chip_config dual = Chip(2, 512, 128, nullptr, "Dual");
  dual.manufacturer = "Maker";
  AddChip(dual);
  vexa_sim_chip_config single = Chip(1, 64, 64, "X", nullptr);
  single.id_vendor = 0x1234;
  single.id_product = 0x5678;
  single.bcd_device = 0x0200;
  AddChip(single);
  auto devices = Rescan();
  ASSERT_EQ(devices.size(), 2u);
  ExpectDescribed(devices[0], {0x0403, 0x6010, 0x0500, 1, 2, 0, 2, 512});
  ExpectDescribed(devices[1], {0x1234, 0x5678, 0x0200, 0, 0, 3, 1, 64});
  // The raw device descriptor agrees with the parsed one.
  UsbHandle handle(usb_open(devices[1]));
  unsigned char raw[18];
  ASSERT_EQ(usb_get_descriptor(handle.get(), USB_DT_DEVICE, 0, raw, sizeof raw), 18);
  EXPECT_EQ(raw[8] | raw[9] << 8, 0x1234);
  EXPECT_EQ(raw[12] | raw[13] << 8, 0x0200);
  EXPECT_EQ(raw[16], 3);
}

TEST_F(SimBusTest, StringsReadAsLibusbConvertsThem) {
  AddChip(Chip(1, 64, 64, "AB12", "caf\xC3\xA9 \xE2\x82\xAC"));  // "café €"
  UsbHandle handle = OpenNth(0);
  ASSERT_TRUE(handle);
  struct Row {
    int index, buflen, result;
    const char *text;
  } rows[] = {
      {3, 64, 4, "AB12"},
      {2, 64, 6, "caf\xE9 ?"},  // U+00E9 has a zero high byte and passes as its low byte; U+20AC does not
      {3, 3, 2, "AB"},          // cut to buflen - 1 characters, always terminated
      {0, 64, 1, "?"},          // the language table converts to one '?'
      {1, 64, -EPIPE, nullptr}, // a string the device does not have is a stall
      {7, 64, -EPIPE, nullptr},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.index);
    char buf[64];
    std::memset(buf, 'x', sizeof buf);
    ASSERT_EQ(usb_get_string_simple(handle.get(), row.index, buf, row.buflen), row.result);
    if (row.text) {
      EXPECT_STREQ(buf, row.text);
    }
  }
  // Raw descriptor: length, type, UTF-16LE.
  unsigned char raw[32];
  ASSERT_EQ(usb_get_string(handle.get(), 3, 0x0409, reinterpret_cast<char *>(raw), sizeof raw), 10);
  EXPECT_EQ(std::vector<int>({raw[0], raw[1], raw[2], raw[3]}), std::vector<int>({10, USB_DT_STRING, 'A', 0}));
}

TEST_F(SimBusTest, ClaimsAreExclusivePerInterfaceAndEndWithClose) {
  int chip = AddChip(Chip(2));
  auto devices = Rescan();
  UsbHandle first(usb_open(devices[0])), second(usb_open(devices[0]));
  ASSERT_TRUE(first && second);
  EXPECT_EQ(vexa_sim_open_handles(), 2);
  EXPECT_EQ(usb_claim_interface(first.get(), 0), 0);
  EXPECT_EQ(usb_claim_interface(first.get(), 0), 0) << "the holder may claim again";
  EXPECT_EQ(usb_claim_interface(second.get(), 0), -EBUSY);
  EXPECT_EQ(usb_claim_interface(second.get(), 1), 0);
  EXPECT_EQ(usb_claim_interface(second.get(), 2), -ENOENT);
  EXPECT_EQ(State(chip, 0).claimed, 1);
  EXPECT_EQ(usb_release_interface(second.get(), 0), -EINVAL) << "not the holder";
  EXPECT_EQ(usb_release_interface(first.get(), 0), 0);
  EXPECT_EQ(State(chip, 0).claimed, 0);
  EXPECT_EQ(usb_claim_interface(second.get(), 0), 0);
  second.reset();
  EXPECT_EQ(State(chip, 0).claimed + State(chip, 1).claimed, 0) << "close releases both";
  EXPECT_EQ(usb_claim_interface(first.get(), 1), 0);
  first.reset();
  EXPECT_EQ(vexa_sim_open_handles(), 0);
}

TEST_F(SimBusTest, UnplugFailsOpenHandlesAndStaleEntriesOpenWithoutADevice) {
  int chip = AddChip(Chip());
  UsbHandle before = OpenNth(0);
  ASSERT_TRUE(before);
  ASSERT_EQ(usb_claim_interface(before.get(), 0), 0);
  struct usb_device *entry = Devices()[0];
  vexa_sim_unplug(chip);
  // The entry is still listed until the next scan, and opens without a device.
  UsbHandle after(usb_open(entry));
  ASSERT_TRUE(after);
  for (auto h : {std::make_pair(before.get(), -ENODEV), std::make_pair(after.get(), -EBADF)}) {
    char buf[8] = {};
    EXPECT_EQ(usb_control_msg(h.first, 0xC0, 5, 0, 1, buf, 2, 100), h.second);
    EXPECT_EQ(usb_bulk_read(h.first, 0x81, buf, 8, 100), h.second);
    EXPECT_EQ(usb_claim_interface(h.first, 0), h.second);
  }
  EXPECT_EQ(usb_bulk_write(before.get(), 0x02, "x", 1, 100), -ENODEV);
  char buf[8];
  EXPECT_EQ(usb_get_string_simple(before.get(), 3, buf, sizeof buf), -ENODEV);
  EXPECT_EQ(usb_close(after.release()), 0);
  EXPECT_EQ(usb_close(before.release()), 0);
  EXPECT_EQ(vexa_sim_open_handles(), 0);
  EXPECT_EQ(usb_find_devices(), 1);
  EXPECT_TRUE(Devices().empty());
}

TEST_F(SimBusTest, FaultsOnScanOpenClaimAndStringsSkipThenCount) {
  int chip = AddChip(Chip());
  Inject(Fault(VEXA_SIM_FAULT_FIND_BUSSES, -EIO, -1, -1, 0, 1));
  EXPECT_EQ(usb_find_busses(), -EIO);
  EXPECT_EQ(usb_busses, nullptr);
  EXPECT_EQ(usb_find_busses(), 1);
  EXPECT_EQ(usb_find_devices(), 1);

  Inject(Fault(VEXA_SIM_FAULT_OPEN, -EACCES, chip, -1, 1, 1));
  struct usb_device *device = Devices()[0];
  UsbHandle passes(usb_open(device));
  EXPECT_TRUE(passes) << "first open is skipped";
  EXPECT_EQ(usb_open(device), nullptr);
  EXPECT_TRUE(UsbHandle(usb_open(device))) << "count of one used up";

  Inject(Fault(VEXA_SIM_FAULT_CLAIM, -EBUSY, chip, -1, 0, -1, 0));
  EXPECT_EQ(usb_claim_interface(passes.get(), 0), -EBUSY);
  EXPECT_EQ(usb_claim_interface(passes.get(), 0), -EBUSY) << "count -1 lasts for ever";

  Inject(Fault(VEXA_SIM_FAULT_STRING, -ETIMEDOUT, chip, 3, 0, 2));
  char buf[16];
  EXPECT_EQ(usb_get_string_simple(passes.get(), 2, buf, sizeof buf), 6) << "other index passes";
  EXPECT_EQ(usb_get_string_simple(passes.get(), 3, buf, sizeof buf), -ETIMEDOUT);
  EXPECT_EQ(usb_get_string_simple(passes.get(), 3, buf, sizeof buf), -ETIMEDOUT);
  EXPECT_EQ(usb_get_string_simple(passes.get(), 3, buf, sizeof buf), 2);

  vexa_sim_clear_faults();
  EXPECT_EQ(usb_claim_interface(passes.get(), 0), 0);
}

TEST_F(SimBusTest, TextDescriptionsAddChipsOrNothing) {
  EXPECT_EQ(vexa_sim_add_chips_from_text("dual,serial=D1,desc=Two Ports;r2,desc=Old;single,"
                                         "vid=0x1111,pid=4660,packet=512,eeprom=0,loopback=1"),
            3);
  EXPECT_EQ(vexa_sim_add_chips_from_text("r4,colour=blue"), -1);
  EXPECT_EQ(vexa_sim_add_chips_from_text("r4;quad"), -1) << "a bad chip spoils the whole text";
  EXPECT_EQ(vexa_sim_add_chips_from_text("r4,eeprom=100"), -1);
  auto devices = Rescan();
  ASSERT_EQ(devices.size(), 3u);
  ExpectDescribed(devices[0], {0x0403, 0x6010, 0x0500, 0, 2, 3, 2, 64});
  ExpectDescribed(devices[1], {0x0403, 0x6001, 0x0200, 0, 2, 0, 1, 64});
  ExpectDescribed(devices[2], {0x1111, 0x1234, 0x0600, 0, 0, 0, 1, 512});
  UsbHandle dual(usb_open(devices[0]));
  EXPECT_EQ(StringOf(dual.get(), 2), "Two Ports");
  uint16_t word = 0xEEEE;
  ASSERT_EQ(vexa_sim_eeprom_get(2, 5, &word), 0);
  EXPECT_EQ(word, 0x0000) << "eeprom=0: no part fitted";
  UsbHandle looped(usb_open(devices[2]));
  EXPECT_EQ(usb_bulk_write(looped.get(), 0x02, "hi", 2, 100), 2);
  EXPECT_EQ(vexa_sim_rx_pending(2, 0), 2u);
}

TEST_F(SimBusTest, EnvironmentDescribesChipsAtTheFirstInit) {
  setenv("VEXA_SIM_CHIPS", "r4,serial=ENV1;dual", 1);
  usb_init();
  unsetenv("VEXA_SIM_CHIPS");
  EXPECT_EQ(Rescan().size(), 2u);
  usb_init();
  EXPECT_EQ(Rescan().size(), 2u) << "read only once";

  vexa_sim_reset();
  AddChip(Chip());
  setenv("VEXA_SIM_CHIPS", "r4", 1);
  usb_init();
  unsetenv("VEXA_SIM_CHIPS");
  EXPECT_EQ(Rescan().size(), 1u) << "chips added through the API take precedence";
}
