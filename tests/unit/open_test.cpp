// Opening and closing channels: the scan by index and by name, the record's
// binding and defaults, and every failure path releasing what it took.
#include <cstring>

#include "device.h"
#include "discovery.h"
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
  EXPECT_EQ(as_device(b)->device_type, KX_DEVICE_DUAL);
  EXPECT_EQ(as_device(first)->device_type, KX_DEVICE_OTHER);
  ExpectOpenFails(3, nullptr, KX_ERR_NOT_FOUND);
  ExpectOpenFails(0, nullptr, KX_ERR_NOT_OPENED);  // a channel already open
  Close(first);
  EXPECT_EQ(State(single, 0).claimed, 0) << "closing releases the interface";
  Close(Open(0));
}

TEST_F(Opening, ByNameWithChannelLetters) {
  AddDual("AB12", "Dual port");
  AddSingle("CD34", "Single port");
  AddSingle("EF5", "Short");
  AddSingle("EF56", "Longer");
  EXPECT_EQ(Channel(OpenBy("AB12", KX_MATCH_SERIAL)), kChannelA);
  EXPECT_EQ(Channel(OpenBy("AB12 b", KX_MATCH_SERIAL)), kChannelB);
  EXPECT_EQ(Channel(OpenBy("Single port", KX_MATCH_DESCRIPTION)), kChannelA);
  ExpectOpenFails(0, "CD34 B", KX_ERR_NOT_OPENED);  // no interface 1
  ExpectOpenFails(0, "EF56", KX_ERR_NOT_OPENED);    // a shorter serial that prefixes it stops the search
  ExpectOpenFails(0, "GH78", KX_ERR_NOT_FOUND);
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
  AddSingle("TINY", "Tiny", 0x0400, 2);
  ExpectOpenFails(2, nullptr, KX_ERR_NOT_OPENED);  // packets too small for the status bytes
  Inject(Fault(VEXA_SIM_FAULT_OPEN, 0));
  ExpectOpenFails(0, nullptr, KX_ERR_NOT_OPENED);
  vexa_sim_clear_faults();
  Inject(Fault(VEXA_SIM_FAULT_CLAIM, -16));
  ExpectOpenFails(1, nullptr, KX_ERR_NOT_OPENED);
  ExpectOpenFails(0, "AB12 A", KX_ERR_NOT_OPENED);
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

TEST_F(Opening, DefaultsWrittenBeforeTheReaderStarts) {
  int chip = AddSingle("CD34", "Single", 0x0400, 512);
  AddSingle("EF56", "Single");
  vexa_sim_set_status(chip, 0, 0x31, 0x60);
  norvec_device record;
  ASSERT_EQ(get_device("CD34", KX_MATCH_SERIAL, &record, -1), KX_OK);
  InitDeviceStructure(&record);
  EXPECT_EQ(std::vector<uint32_t>({record.rx_capacity, record.rx_free, record.rx_read_pos, record.rx_write_pos,
                                   record.transfer_timeout, record.in_buffer_size, record.in_transfer_size,
                                   record.read_timeout, static_cast<uint32_t>(record.device_type)}),
            std::vector<uint32_t>({65280, 65280, 0, 0, 5000, 65536, 4096, 0, KX_DEVICE_BCD0400}));
  EXPECT_EQ(record.modem_status, 0x30) << "the low nibble is dropped";
  EXPECT_EQ(record.line_status, 0x60);
  EXPECT_EQ(record.latency_timer, State(chip, 0).latency_timer);
  auto modem = ControlLog(5);
  ASSERT_EQ(modem.size(), 1u);
  EXPECT_EQ(modem[0].index, 1);
  usb_release_interface(record.usb_handle, 0);
  usb_close(record.usb_handle);

  // 64-byte packets give the smaller ring; the reader resets it under rx_lock.
  norvec_device *small = as_device(Open(1));
  small->rx_lock.Lock();
  const uint32_t capacity = small->rx_capacity;
  small->rx_lock.Unlock();
  EXPECT_EQ(capacity, 63488u);
}

}  // namespace
