// The simulated bus as libusb 0.1 shows it: enumeration and rescans,
// descriptors, strings, opening, claims, unplug and text-described chips.
#include <cerrno>
#include <cstring>

#include "sim_test_helpers.h"

using namespace simtest;

class SimBusTest : public SimTest {};

TEST_F(SimBusTest, BusListAppearsOnlyWithTheFirstScanAndCountsChanges) {
  AddChip(Chip());
  EXPECT_EQ(usb_get_busses(), nullptr);
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
  Rescan();
  auto before = Devices();
  ASSERT_EQ(before.size(), 2u);
  vexa_sim_unplug(first);
  AddChip(Chip(1, 64, 64, "C"));
  AddChip(Chip(1, 64, 64, "D"));
  EXPECT_EQ(usb_find_devices(), 3);
  auto after = Devices();
  ASSERT_EQ(after.size(), 3u);
  EXPECT_EQ(after[0], before[1]) << "surviving entry keeps its address";
  char serial[16];
  for (size_t i = 0; i < after.size(); ++i) {
    UsbHandle handle(usb_open(after[i]));
    ASSERT_TRUE(handle);
    ASSERT_GT(usb_get_string_simple(handle.get(), after[i]->descriptor.iSerialNumber, serial, sizeof serial), 0);
    EXPECT_STREQ(serial, std::string(1, static_cast<char>('B' + i)).c_str());
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
  Rescan();
  auto devices = Devices();
  ASSERT_EQ(devices.size(), 2u);

  const usb_device_descriptor &d = devices[0]->descriptor;
  EXPECT_EQ(d.idVendor, 0x0403);
  EXPECT_EQ(d.idProduct, 0x6010);
  EXPECT_EQ(d.bcdDevice, 0x0500);
  EXPECT_EQ(d.iManufacturer, 1);
  EXPECT_EQ(d.iProduct, 2);
  EXPECT_EQ(d.iSerialNumber, 0);
  EXPECT_EQ(d.bNumConfigurations, 1);
  ASSERT_NE(devices[0]->config, nullptr);
  ASSERT_EQ(devices[0]->config[0].bNumInterfaces, 2);
  for (int k = 0; k < 2; ++k) {
    const usb_interface_descriptor &alt = devices[0]->config[0].interface[k].altsetting[0];
    ASSERT_EQ(alt.bNumEndpoints, 2);
    EXPECT_EQ(alt.endpoint[0].bEndpointAddress, 0x81 + 2 * k);
    EXPECT_EQ(alt.endpoint[1].bEndpointAddress, 0x02 + 2 * k);
    EXPECT_EQ(alt.endpoint[0].wMaxPacketSize, 512);
    EXPECT_EQ(alt.endpoint[1].wMaxPacketSize, 512);
  }

  const usb_device_descriptor &s = devices[1]->descriptor;
  EXPECT_EQ(s.idVendor, 0x1234);
  EXPECT_EQ(s.idProduct, 0x5678);
  EXPECT_EQ(s.bcdDevice, 0x0200);
  EXPECT_EQ(s.iManufacturer, 0);
  EXPECT_EQ(s.iProduct, 0);
  EXPECT_EQ(s.iSerialNumber, 3);
  EXPECT_EQ(devices[1]->config[0].interface[0].altsetting[0].endpoint[0].wMaxPacketSize, 64);

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
  char buf[64];
  EXPECT_EQ(usb_get_string_simple(handle.get(), 3, buf, sizeof buf), 4);
  EXPECT_STREQ(buf, "AB12");
  // U+00E9 has a zero high byte and passes as its low byte; U+20AC does not.
  EXPECT_EQ(usb_get_string_simple(handle.get(), 2, buf, sizeof buf), 6);
  EXPECT_STREQ(buf, "caf\xE9 ?");
  // Truncated to buflen - 1 characters, always terminated.
  EXPECT_EQ(usb_get_string_simple(handle.get(), 3, buf, 3), 2);
  EXPECT_STREQ(buf, "AB");
  // Index 0 is the language table, which converts to one '?'.
  EXPECT_EQ(usb_get_string_simple(handle.get(), 0, buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "?");
  // A string the device does not have is a stall.
  EXPECT_EQ(usb_get_string_simple(handle.get(), 1, buf, sizeof buf), -EPIPE);
  EXPECT_EQ(usb_get_string_simple(handle.get(), 7, buf, sizeof buf), -EPIPE);
  // Raw descriptor: length, type, UTF-16LE.
  unsigned char raw[32];
  ASSERT_EQ(usb_get_string(handle.get(), 3, 0x0409, reinterpret_cast<char *>(raw), sizeof raw), 10);
  EXPECT_EQ(raw[0], 10);
  EXPECT_EQ(raw[1], USB_DT_STRING);
  EXPECT_EQ(raw[2], 'A');
  EXPECT_EQ(raw[3], 0);
}

TEST_F(SimBusTest, ClaimsAreExclusivePerInterfaceAndEndWithClose) {
  int chip = AddChip(Chip(2));
  Rescan();
  auto devices = Devices();
  UsbHandle first(usb_open(devices[0]));
  UsbHandle second(usb_open(devices[0]));
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
  EXPECT_EQ(State(chip, 0).claimed, 0);
  EXPECT_EQ(State(chip, 1).claimed, 0);
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

  char buf[8] = {};
  EXPECT_EQ(usb_control_msg(before.get(), 0xC0, 5, 0, 1, buf, 2, 100), -ENODEV);
  EXPECT_EQ(usb_bulk_write(before.get(), 0x02, "x", 1, 100), -ENODEV);
  EXPECT_EQ(usb_bulk_read(before.get(), 0x81, buf, 8, 100), -ENODEV);
  EXPECT_EQ(usb_claim_interface(before.get(), 0), -ENODEV);
  EXPECT_EQ(usb_get_string_simple(before.get(), 3, buf, sizeof buf), -ENODEV);

  // The entry is still listed until the next scan, and opens without a device.
  UsbHandle after(usb_open(entry));
  ASSERT_TRUE(after);
  EXPECT_EQ(usb_claim_interface(after.get(), 0), -EBADF);
  EXPECT_EQ(usb_control_msg(after.get(), 0xC0, 5, 0, 1, buf, 2, 100), -EBADF);
  EXPECT_EQ(usb_bulk_read(after.get(), 0x81, buf, 8, 100), -EBADF);
  EXPECT_EQ(usb_close(after.release()), 0);
  EXPECT_EQ(usb_close(before.release()), 0);
  EXPECT_EQ(vexa_sim_open_handles(), 0);
  EXPECT_EQ(usb_find_devices(), 1);
  EXPECT_TRUE(Devices().empty());
}

TEST_F(SimBusTest, FaultsOnScanOpenClaimAndStringsSkipThenCount) {
  int chip = AddChip(Chip());
  vexa_sim_fault busses = Fault(VEXA_SIM_FAULT_FIND_BUSSES, -EIO, -1, -1, 0, 1);
  ASSERT_EQ(vexa_sim_add_fault(&busses), 0);
  EXPECT_EQ(usb_find_busses(), -EIO);
  EXPECT_EQ(usb_busses, nullptr);
  EXPECT_EQ(usb_find_busses(), 1);

  vexa_sim_fault devices = Fault(VEXA_SIM_FAULT_FIND_DEVICES, -ENOMEM, -1, -1, 0, 1);
  vexa_sim_add_fault(&devices);
  EXPECT_EQ(usb_find_devices(), -ENOMEM);
  EXPECT_EQ(usb_find_devices(), 1);

  vexa_sim_fault open = Fault(VEXA_SIM_FAULT_OPEN, -EACCES, chip, -1, 1, 1);
  vexa_sim_add_fault(&open);
  struct usb_device *device = Devices()[0];
  UsbHandle passes(usb_open(device));
  EXPECT_TRUE(passes) << "first open is skipped";
  EXPECT_EQ(usb_open(device), nullptr);
  UsbHandle again(usb_open(device));
  EXPECT_TRUE(again) << "count of one used up";

  vexa_sim_fault claim = Fault(VEXA_SIM_FAULT_CLAIM, -EBUSY, chip, -1, 0, -1, 0);
  vexa_sim_add_fault(&claim);
  EXPECT_EQ(usb_claim_interface(passes.get(), 0), -EBUSY);
  EXPECT_EQ(usb_claim_interface(passes.get(), 0), -EBUSY) << "count -1 lasts for ever";

  vexa_sim_fault string = Fault(VEXA_SIM_FAULT_STRING, -ETIMEDOUT, chip, 3, 0, 2);
  vexa_sim_add_fault(&string);
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
  Rescan();
  auto devices = Devices();
  ASSERT_EQ(devices.size(), 3u);
  EXPECT_EQ(devices[0]->descriptor.bcdDevice, 0x0500);
  EXPECT_EQ(devices[0]->config[0].bNumInterfaces, 2);
  EXPECT_EQ(devices[1]->descriptor.bcdDevice, 0x0200);
  EXPECT_EQ(devices[1]->descriptor.iSerialNumber, 0);
  EXPECT_EQ(devices[2]->descriptor.bcdDevice, 0x0600);
  EXPECT_EQ(devices[2]->descriptor.idVendor, 0x1111);
  EXPECT_EQ(devices[2]->descriptor.idProduct, 0x1234);
  EXPECT_EQ(devices[2]->config[0].interface[0].altsetting[0].endpoint[0].wMaxPacketSize, 512);

  UsbHandle dual(usb_open(devices[0]));
  char buf[32];
  EXPECT_EQ(usb_get_string_simple(dual.get(), 2, buf, sizeof buf), 9);
  EXPECT_STREQ(buf, "Two Ports");
  uint16_t word = 0;
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
  Rescan();
  EXPECT_EQ(Devices().size(), 2u);
  usb_init();
  Rescan();
  EXPECT_EQ(Devices().size(), 2u) << "read only once";

  vexa_sim_reset();
  AddChip(Chip());
  setenv("VEXA_SIM_CHIPS", "r4", 1);
  usb_init();
  unsetenv("VEXA_SIM_CHIPS");
  Rescan();
  EXPECT_EQ(Devices().size(), 1u) << "chips added through the API take precedence";
}
