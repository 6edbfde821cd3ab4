// The chip's bulk endpoints through usb_bulk_read / usb_bulk_write: packet
// framing, latency status packets, time-outs, overflow, stall, unplug,
// capture, loopback, pacing and bulk faults.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "sim_test_helpers.h"

using namespace simtest;

namespace {

std::vector<unsigned char> Read(usb_dev_handle *h, int endpoint, int size, int timeout, int *result) {
  std::vector<unsigned char> buf(static_cast<size_t>(size), 0xEE);
  *result = usb_bulk_read(h, endpoint, reinterpret_cast<char *>(buf.data()), size, timeout);
  buf.resize(*result > 0 ? static_cast<size_t>(*result) : 0);
  return buf;
}

std::string Payload(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += static_cast<char>('a' + i % 26);
  return s;
}

int SetLatency(usb_dev_handle *h, int ms) { return usb_control_msg(h, 0x40, 9, ms, 1, nullptr, 0, 100); }

}  // namespace

class SimBulkTest : public SimTest {};

// Every packet of a reply starts with the two status bytes and the payload
// behind them is the head of the queue, whatever ended the transfer.
TEST_F(SimBulkTest, TransfersArePacketsLedByStatusBytes) {
  struct Row {
    const char *what;
    int packet, channel;
    size_t queued;
    int asked, result;
    size_t left;
  } rows[] = {
      {"a short packet ends the transfer", 64, 1, 62 + 62 + 10, 4096, 64 + 64 + 12, 0},
      {"queue emptied after full packets: a status packet ends it", 512, 0, 510 * 2, 4096, 512 * 2 + 2, 0},
      {"stops at the requested size on a packet boundary", 64, 0, 62 * 3, 128, 128, 62},
      {"a packet overflowing the buffer fills it and loses its rest", 512, 0, 510 * 2, 600, 600, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    vexa_sim_reset();
    int chip = AddChip(Chip(2, row.packet));
    UsbHandle h = OpenNth(0);
    vexa_sim_set_status(chip, row.channel, 0x30, 0x60);
    const std::string data = Payload(row.queued);
    vexa_sim_queue_rx(chip, row.channel, data.data(), data.size());
    int result = 0;
    auto got = Read(h.get(), 0x81 + 2 * row.channel, row.asked, 1000, &result);
    ASSERT_EQ(result, row.result);
    std::string payload;
    for (size_t at = 0; at < got.size(); at += row.packet) {
      EXPECT_EQ(got[at], 0x31) << "modem status with the chip's low bit, packet at " << at;
      EXPECT_EQ(got[at + 1], 0x60);
      payload.append(got.begin() + at + 2, got.begin() + std::min(got.size(), at + row.packet));
    }
    EXPECT_EQ(payload, data.substr(0, payload.size()));
    EXPECT_EQ(vexa_sim_rx_pending(chip, row.channel), row.left);
  }
}

TEST_F(SimBulkTest, EmptyQueueAnswersAStatusPacketWhenTheLatencyTimerRunsOut) {
  int chip = AddChip(Chip());
  UsbHandle h = OpenNth(0);
  ASSERT_EQ(SetLatency(h.get(), 2), 0);
  vexa_sim_set_status(chip, 0, 0x10, 0x02);
  int result = 0;
  auto start = std::chrono::steady_clock::now();
  auto got = Read(h.get(), 0x81, 4096, 0, &result);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2)) << "held until the timer ran out";
  EXPECT_EQ(got, (std::vector<unsigned char>{0x11, 0x02}));
  ASSERT_EQ(SetLatency(h.get(), 0), 0);  // behaves as 1 ms rather than spinning
  EXPECT_EQ(Read(h.get(), 0x81, 64, 0, &result).size(), 2u);

  // Data queued while a read waits out a long timer goes out at once; the
  // reader may or may not be waiting yet, either way it must get the data.
  ASSERT_EQ(SetLatency(h.get(), 255), 0);
  auto reader = std::async(std::launch::async, [&] {
    int n = 0;
    auto bytes = Read(h.get(), 0x81, 64, 0, &n);
    return std::string(bytes.begin() + (n >= 2 ? 2 : 0), bytes.end());
  });
  vexa_sim_queue_rx(chip, 0, "xyz", 3);
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(reader.get(), "xyz");
}

// A silent channel sends nothing, not even status packets; a stalled one
// reads as zero bytes. Either way the queued data stays. (Bulk faults and
// pacing are checked where they matter: the library's fault and write tests,
// and the stepped pacing tests.)
TEST_F(SimBulkTest, SilentChannelTimesOutAndAStallReadsZero) {
  int chip = AddChip(Chip());
  UsbHandle h = OpenNth(0);
  vexa_sim_queue_rx(chip, 0, "abc", 3);
  vexa_sim_set_silent(chip, 0, 1);
  int result = 0;
  Read(h.get(), 0x81, 64, 5, &result);
  EXPECT_EQ(result, -ETIMEDOUT);
  vexa_sim_set_silent(chip, 0, 0);
  vexa_sim_set_stalled(chip, 0, 1);
  Read(h.get(), 0x81, 64, 100, &result);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(vexa_sim_rx_pending(chip, 0), 3u);
}

TEST_F(SimBulkTest, UnplugEndsAWaitingReadWithZeroThenNoDevice) {
  // The read must be waiting when the chip goes. Nothing outside shows that,
  // so the unplug comes a little later; a read that only started after it
  // (-ENODEV on a loaded machine) makes the attempt start over.
  for (int attempt = 0; attempt < 5; ++attempt) {
    vexa_sim_reset();
    int chip = AddChip(Chip());
    UsbHandle h = OpenNth(0);
    vexa_sim_set_silent(chip, 0, 1);
    char buf[64];
    auto reader = std::async(std::launch::async, [&] { return usb_bulk_read(h.get(), 0x81, buf, 64, 0); });
    EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    vexa_sim_unplug(chip);
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    int result = reader.get();
    EXPECT_EQ(usb_bulk_read(h.get(), 0x81, buf, sizeof buf, 100), -ENODEV);
    if (result == -ENODEV) continue;
    EXPECT_EQ(result, 0);
    return;
  }
  FAIL() << "the read never got to wait before the unplug";
}

TEST_F(SimBulkTest, WritesAreCapturedPerChannelAndLoopedBack) {
  int chip = AddChip(Chip(2));
  UsbHandle h = OpenNth(0);
  EXPECT_EQ(vexa_sim_wait_tx(chip, 0, 1), 0u) << "nothing written: times out empty";
  auto waiter = std::async(std::launch::async, [&] { return vexa_sim_wait_tx(chip, 0, 10000); });
  EXPECT_EQ(usb_bulk_write(h.get(), 0x02, "to A", 4, 100), 4);
  ASSERT_EQ(waiter.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(waiter.get(), 4u);
  EXPECT_EQ(usb_bulk_write(h.get(), 0x04, "to B", 4, 100), 4);
  EXPECT_EQ(usb_bulk_write(h.get(), 0x06, "x", 1, 100), -ENOENT);
  EXPECT_EQ(usb_bulk_write(h.get(), 0x81, "x", 1, 100), -ENOENT) << "an IN endpoint";
  EXPECT_EQ(TakeTx(chip, 0), "to A");
  EXPECT_EQ(TakeTx(chip, 1), "to B");

  vexa_sim_set_loopback(chip, 1, 1);
  EXPECT_EQ(usb_bulk_write(h.get(), 0x04, "echo", 4, 100), 4);
  int result = 0;
  auto got = Read(h.get(), 0x83, 64, 100, &result);
  EXPECT_EQ(std::string(got.begin() + 2, got.end()), "echo");
  EXPECT_EQ(TakeTx(chip, 1), "echo") << "looped bytes are captured too";

  // Bulk transfers stay out of the log once switched off.
  vexa_sim_log_clear();
  vexa_sim_log_bulk(0);
  usb_bulk_write(h.get(), 0x02, "xyz", 3, 100);
  EXPECT_TRUE(Log().empty());
}
