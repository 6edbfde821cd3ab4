// Scenarios that must come out the same whichever backend carries them: the
// in-process simulated libusb, or Debian's libusb 0.1 over an emulated usbfs.
// Both put the same chip model behind the unmodified libvexa.so, so any
// difference is a place where the simulator's picture of libusb is wrong.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "sim_fixture.h"
#include "vexa.h"
#include "vexa_sim.h"

// Puts a chip the model has just added on the bus the library scans; returns its id.
#ifdef VEXA_SCENARIO_USBFS
int PlugChip(int chip);  // usbfs_backend.cpp
#else
int PlugChip(int chip) { return chip; }  // the simulated libusb scans the model itself
#endif

namespace {

// The fixture resets the model, which both backends share, before and after
// every scenario.
class Scenario : public SimTest {
 protected:
  void TearDown() override {
    CloseAll();
    // usbfs cannot be asked whether a file descriptor is still open; what a
    // closed handle must leave behind is no claimed interface.
    vexa_sim_channel_state state;
    for (int chip = 0; vexa_sim_get_state(chip, 0, &state) == 0; ++chip)
      for (int channel = 0; vexa_sim_get_state(chip, channel, &state) == 0; ++channel)
        EXPECT_EQ(state.claimed, 0) << "chip " << chip << " channel " << channel;
    SimTest::TearDown();
  }

  uint32_t Count() {
    uint32_t count = 0;
    EXPECT_EQ(KX_ListDevices(&count, nullptr, KX_LIST_COUNT), KX_OK);
    return count;
  }

  std::string Listed(uint32_t index, uint32_t flags) {
    char text[300] = {};
    void *at = reinterpret_cast<void *>(static_cast<uintptr_t>(index));
    KX_STATUS status = KX_ListDevices(at, text, KX_LIST_INDEXED | flags);
    return status == KX_OK ? std::string(text) : "status " + std::to_string(status);
  }

  // Where a channel stands in the listing. The order of devices on the bus is
  // libusb's directory scan order, which the emulated usbfs does not pin
  // down, so scenarios with several chips look indices up.
  int IndexOf(const std::string &serial) {
    for (uint32_t i = 0; i < Count(); ++i)
      if (Listed(i, KX_MATCH_SERIAL) == serial) return static_cast<int>(i);
    ADD_FAILURE() << serial << " is not listed";
    return -1;
  }
};

// An open that succeeds has claimed the channel's interface: opening the
// other channel or the same one again shows which interface that was.
TEST_F(Scenario, ListsOpensAndClaimsByIndexSerialAndDescription) {
  PlugChip(AddSingle("S100", "Probe \xCE\xA9"));  // U+03A9 becomes '?' in 8-bit text
  int dual = PlugChip(AddDual("D200", "Dual Probe"));
  ASSERT_EQ(Count(), 3u);
  const int s100 = IndexOf("S100");
  const int d200 = IndexOf("D200 A");
  EXPECT_EQ(IndexOf("D200 B"), d200 + 1) << "channels of one device are listed together, A first";
  EXPECT_EQ(Listed(s100, KX_MATCH_DESCRIPTION), "Probe ?");
  EXPECT_EQ(Listed(d200 + 1, KX_MATCH_DESCRIPTION), "Dual Probe B");

  KX_HANDLE b = Open(d200 + 1), none = nullptr;
  // Held through another handle (another file descriptor): never taken over.
  EXPECT_EQ(KX_Open(d200 + 1, &none), KX_ERR_NOT_OPENED);
  EXPECT_EQ(KX_OpenEx("D200 B", KX_MATCH_SERIAL, &none), KX_ERR_NOT_OPENED);
  OpenBy("S100", KX_MATCH_SERIAL);
  OpenBy("Dual Probe A", KX_MATCH_DESCRIPTION);

  // A vendor request out and one in, the value coming back (control_test
  // has the requests themselves, as the chip's log shows them).
  EXPECT_EQ(KX_SetLatencyTimer(b, 4), KX_OK);
  unsigned char latency = 0;
  EXPECT_EQ(KX_GetLatencyTimer(b, &latency), KX_OK);
  EXPECT_EQ(latency, 4);

  // A kernel driver on the interface is detached, and the claim then succeeds.
  Close(b);
  ASSERT_EQ(vexa_sim_set_kernel_driver(dual, 1, "serial_port"), 0);
  Open(d200 + 1);
}

// A chip that takes less than offered: the shortfall shows in the count only.
TEST_F(Scenario, WritesGoOutIn4096ByteTransfersAndCountWhatTheChipTook) {
  int chip = PlugChip(AddSingle("S500", "Single"));
  ASSERT_EQ(Count(), 1u);
  KX_HANDLE handle = Open(0);
  std::string data(10000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 23);
  vexa_sim_set_write_limit(chip, 0, 1000);
  vexa_sim_log_clear();
  uint32_t written = 0;
  ASSERT_EQ(KX_Write(handle, data.data(), static_cast<uint32_t>(data.size()), &written), KX_OK);
  EXPECT_EQ(written, 3000u);
  EXPECT_EQ(BulkSizes(VEXA_SIM_LOG_BULK_OUT), (std::vector<int>{4096, 4096, 1808}));
  EXPECT_EQ(TakeTx(chip, 0),
            data.substr(0, 1000) + data.substr(4096, 1000) + data.substr(8192, 1000));
}

TEST_F(Scenario, ReadsStripStatusBytesAndTimeOutWithWhatArrived) {
  int chip = PlugChip(AddSingle("S600", "Single"));
  ASSERT_EQ(Count(), 1u);
  KX_HANDLE handle = Open(0);
  vexa_sim_set_status(chip, 0, KX_MODEM_CTS | KX_MODEM_DCD, 0);
  const std::vector<uint8_t> payload = Pattern(300);  // five packets of 64
  ASSERT_EQ(vexa_sim_queue_rx(chip, 0, payload.data(), payload.size()), 0);
  EXPECT_EQ(ReadExactly(handle, payload.size()), payload);
  unsigned long modem = 0;
  ASSERT_EQ(KX_GetModemStatus(handle, &modem), KX_OK);
  EXPECT_EQ(modem & 0xF0, static_cast<unsigned long>(KX_MODEM_CTS | KX_MODEM_DCD));

  ASSERT_EQ(KX_SetTimeouts(handle, 150, 0), KX_OK);
  ASSERT_EQ(vexa_sim_queue_rx(chip, 0, "abc", 3), 0);
  char got[10];
  uint32_t returned = 0;
  EXPECT_EQ(KX_Read(handle, got, sizeof got, &returned), KX_ERR_IO);
  EXPECT_EQ(std::string(got, returned), "abc");
  // A silent chip sends not even status packets: nothing at all arrives.
  vexa_sim_set_silent(chip, 0, 1);
  EXPECT_EQ(KX_Read(handle, got, sizeof got, &returned), KX_ERR_IO);
  EXPECT_EQ(returned, 0u);
  // Let the reader's transfer end now rather than at its own time-out.
  vexa_sim_set_silent(chip, 0, 0);
}

TEST_F(Scenario, UnplugWhileReadingAndWritingLeavesTheOtherChipListedAndWorking) {
  int chip = PlugChip(AddSingle("S800", "Single"));
  PlugChip(AddDual("D800", "Dual"));
  ASSERT_EQ(Count(), 3u);
  KX_HANDLE handle = Open(IndexOf("S800"));
  ASSERT_EQ(KX_SetTimeouts(handle, 300, 0), KX_OK);

  KX_STATUS read_status = KX_OK;
  uint32_t read_count = 99;
  std::thread reader([&] {
    char buffer[16];
    read_status = KX_Read(handle, buffer, sizeof buffer, &read_count);
  });
  std::atomic<int> writes{0};  // past 2: a few writes went through, or the writer stopped
  KX_STATUS write_status = KX_OK;
  std::thread writer([&] {
    uint32_t written = 0;
    // Bounded: the device is gone long before this many writes.
    for (int i = 0; i < 100000; ++i, ++writes)
      if ((write_status = KX_Write(handle, "ping", 4, &written)) != KX_OK) break;
    writes = 3;
  });
  while (writes < 3) std::this_thread::yield();
  vexa_sim_unplug(chip);
  writer.join();
  reader.join();
  EXPECT_EQ(write_status, static_cast<KX_STATUS>(KX_ERR_WRITE));
  EXPECT_EQ(read_status, static_cast<KX_STATUS>(KX_ERR_IO));
  EXPECT_EQ(read_count, 0u);
  unsigned char latency = 0;
  EXPECT_NE(KX_GetLatencyTimer(handle, &latency), KX_OK);

  // With the handle still open, the listing leaves the chip out.
  EXPECT_EQ(Count(), 2u);
  EXPECT_EQ(Listed(0, KX_MATCH_SERIAL), "D800 A");
  EXPECT_EQ(Listed(1, KX_MATCH_SERIAL), "D800 B");
  KX_HANDLE next = Open(0);
  uint32_t written = 0;
  EXPECT_EQ(KX_Write(next, "hi", 2, &written), KX_OK);
  EXPECT_EQ(written, 2u);
}

}  // namespace
