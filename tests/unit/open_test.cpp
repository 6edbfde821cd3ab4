// Opening and closing channels: the scan by index and by name, the record's
// binding and defaults, and every failure path releasing what it took.
#include <cstring>

#include "device.h"
#include "discovery.h"
#include "sim_fixture.h"

namespace {

class Opening : public SimTest {
 protected:
  static norvec_device *Rec(KX_HANDLE handle) { return as_device(handle); }

  // Opens and expects a failure with a null handle output and nothing left open.
  static void ExpectOpenFails(int index, KX_STATUS expected) {
    int open_before = vexa_sim_open_handles();
    KX_HANDLE handle = reinterpret_cast<KX_HANDLE>(0x1);
    EXPECT_EQ(KX_Open(index, &handle), expected);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(vexa_sim_open_handles(), open_before) << "a failed open left a USB handle open";
  }
  static void ExpectOpenExFails(const char *name, uint32_t flags, KX_STATUS expected) {
    KX_HANDLE handle = reinterpret_cast<KX_HANDLE>(0x1);
    EXPECT_EQ(KX_OpenEx(name, flags, &handle), expected) << name;
    EXPECT_EQ(handle, nullptr);
  }
};

void ExpectChannel(norvec_device *record, uint32_t interface) {
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->interface, interface);
  EXPECT_EQ(record->port_index, interface + 1);
  EXPECT_EQ(record->out_endpoint, interface ? 0x04u : 0x02u);
  EXPECT_EQ(record->in_endpoint, interface ? 0x83u : 0x81u);
}

TEST_F(Opening, IndexesCountChannelsOfKnownRevisionsOnly) {
  int single = AddSingle("S600", "Single", 0x0600);
  AddSingle("S700", "Unknown revision", 0x0700);
  int dual = AddDual("D500", "Dual");
  KX_HANDLE first = Open(0), a = Open(1), b = Open(2);
  ExpectChannel(Rec(first), 0);
  ExpectChannel(Rec(a), 0);
  ExpectChannel(Rec(b), 1);
  EXPECT_EQ(State(single, 0).claimed, 1);
  EXPECT_EQ(State(dual, 0).claimed, 1);
  EXPECT_EQ(State(dual, 1).claimed, 1);
  // Channel B keeps the packet size of interface 0.
  EXPECT_EQ(Rec(b)->max_packet_size, 64u);
  EXPECT_EQ(Rec(b)->device_type, KX_DEVICE_DUAL);
  EXPECT_EQ(Rec(first)->device_type, KX_DEVICE_OTHER);
  ExpectOpenFails(3, KX_ERR_NOT_FOUND);
}

TEST_F(Opening, ASecondOpenOfAnOpenChannelIsRefused) {
  int dual = AddDual("AB12", "Dual");
  KX_HANDLE a = Open(0);
  ExpectOpenFails(0, KX_ERR_NOT_OPENED);
  EXPECT_EQ(vexa_sim_open_handles(), 1);
  Close(a);
  EXPECT_EQ(State(dual, 0).claimed, 0) << "closing releases the interface";
  Close(Open(0));
}

TEST_F(Opening, ByNameWithChannelLetters) {
  AddDual("AB12", "Dual port");
  AddSingle("CD34", "Single port");
  ExpectChannel(Rec(OpenBy("AB12", KX_MATCH_SERIAL)), 0);
  ExpectChannel(Rec(OpenBy("AB12 b", KX_MATCH_SERIAL)), 1);
  ExpectChannel(Rec(OpenBy("Single port", KX_MATCH_DESCRIPTION)), 0);
  ExpectOpenExFails("AB12x", KX_MATCH_SERIAL, KX_ERR_NOT_OPENED);
  ExpectOpenExFails("CD34 B", KX_MATCH_SERIAL, KX_ERR_NOT_OPENED);  // no interface 1
  ExpectOpenExFails("EF56", KX_MATCH_SERIAL, KX_ERR_NOT_FOUND);
  EXPECT_EQ(vexa_sim_open_handles(), 3);
}

TEST_F(Opening, AShorterSerialThatPrefixesTheNameStopsTheSearch) {
  AddSingle("AB1", "First");
  AddSingle("AB12", "Second");
  ExpectOpenExFails("AB12", KX_MATCH_SERIAL, KX_ERR_NOT_OPENED);
}

TEST_F(Opening, DevicesWithoutTheStringDoNotMatch) {
  AddSingle(nullptr, "No serial");
  AddSingle("AB12", "Unreadable");
  AddSingle("AB12", "Good");
  // The second device's string read fails: it does not match, the search goes on.
  Inject(Fault(VEXA_SIM_FAULT_STRING, -71, 1));
  KX_HANDLE handle = OpenBy("AB12", KX_MATCH_SERIAL);
  char description[67] = "";
  EXPECT_EQ(KX_GetDeviceInfo(handle, nullptr, nullptr, nullptr, description, nullptr), KX_OK);
  EXPECT_STREQ(description, "Good");
}

TEST_F(Opening, FailureRowsReleaseEverything) {
  AddDual("AB12", "Dual");
  Inject(Fault(VEXA_SIM_FAULT_OPEN, 0));
  ExpectOpenFails(0, KX_ERR_NOT_OPENED);
  vexa_sim_clear_faults();
  Inject(Fault(VEXA_SIM_FAULT_CLAIM, -16));
  ExpectOpenFails(1, KX_ERR_NOT_OPENED);
  ExpectOpenExFails("AB12 A", KX_MATCH_SERIAL, KX_ERR_NOT_OPENED);
  vexa_sim_clear_faults();
  Close(Open(1));
}

TEST_F(Opening, TheFirstOpenBuildsTheBusListAndReportsAFailedScan) {
  AddSingle("CD34", "Single");
  Inject(Fault(VEXA_SIM_FAULT_FIND_BUSSES, -5));
  ExpectOpenFails(0, KX_ERR_OTHER);
  vexa_sim_clear_faults();
  Close(Open(0));
  // The list is not rebuilt by an open: a chip attached now needs a listing.
  AddSingle("EF56", "Late");
  ExpectOpenExFails("EF56", KX_MATCH_SERIAL, KX_ERR_NOT_FOUND);
  uint32_t count = 0;
  EXPECT_EQ(KX_ListDevices(&count, nullptr, KX_LIST_COUNT), KX_OK);
  Close(OpenBy("EF56", KX_MATCH_SERIAL));
}

TEST_F(Opening, TinyPacketSizesAreRefused) {
  AddSingle("TINY", "Tiny", 0x0400, 2);
  ExpectOpenFails(0, KX_ERR_NOT_OPENED);
}

TEST_F(Opening, DefaultsWrittenBeforeTheReaderStarts) {
  int chip = AddSingle("CD34", "Single", 0x0400, 512);
  vexa_sim_set_status(chip, 0, 0x31, 0x60);
  norvec_device record;
  ASSERT_EQ(get_device("CD34", KX_MATCH_SERIAL, &record, -1), KX_OK);
  InitDeviceStructure(&record);
  EXPECT_EQ(record.rx_capacity, 65280u);
  EXPECT_EQ(record.rx_free, 65280u);
  EXPECT_EQ(record.rx_read_pos, 0u);
  EXPECT_EQ(record.rx_write_pos, 0u);
  EXPECT_EQ(record.transfer_timeout, 5000u);
  EXPECT_EQ(record.in_buffer_size, 65536u);
  EXPECT_EQ(record.in_transfer_size, 4096u);
  EXPECT_EQ(record.modem_status, 0x30) << "the low nibble is dropped";
  EXPECT_EQ(record.line_status, 0x60);
  EXPECT_EQ(record.latency_timer, State(chip, 0).latency_timer);
  EXPECT_EQ(record.read_timeout, 0u);
  EXPECT_EQ(record.device_type, KX_DEVICE_BCD0400);
  auto modem = ControlLog(5);
  ASSERT_EQ(modem.size(), 1u);
  EXPECT_EQ(modem[0].index, 1);
  usb_release_interface(record.usb_handle, 0);
  usb_close(record.usb_handle);
}

TEST_F(Opening, SixtyFourBytePacketsGiveTheSmallerRing) {
  AddSingle("CD34", "Single");
  norvec_device *record = Rec(Open(0));
  // The reader thread resets the ring under rx_lock when it starts streaming.
  record->rx_lock.Lock();
  const uint32_t capacity = record->rx_capacity;
  record->rx_lock.Unlock();
  EXPECT_EQ(capacity, 63488u);
  EXPECT_EQ(KX_Close(nullptr), KX_ERR_PARAMETER);
}

TEST_F(Opening, ANameLetterRuleIsCaseInsensitive) {
  EXPECT_EQ(GetDeviceInterface("AB12", "AB12"), 0);
  EXPECT_EQ(GetDeviceInterface("AB12 a", "AB12"), 0);
  EXPECT_EQ(GetDeviceInterface("AB12 B", "AB12"), 1);
  EXPECT_EQ(GetDeviceInterface("AB12 C", "AB12"), -1);
  EXPECT_EQ(GetDeviceInterface("AB", "AB12"), 0);
}

}  // namespace
