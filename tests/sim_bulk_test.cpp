// The chip's bulk endpoints through usb_bulk_read / usb_bulk_write: packet
// framing, latency status packets, time-outs, overflow, stall, unplug,
// capture, loopback, pacing and bulk faults.
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

std::string Payload(size_t n, char first = 'a') {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += static_cast<char>(first + i % 26);
  return s;
}

}  // namespace

class SimBulkTest : public SimTest {};

TEST_F(SimBulkTest, PacketsCarryStatusBytesAndAShortPacketEndsTheTransfer) {
  int chip = AddChip(Chip(2));
  UsbHandle h = OpenNth(0);
  vexa_sim_set_status(chip, 1, 0x30, 0x60);
  std::string data = Payload(62 + 62 + 10);
  vexa_sim_queue_rx(chip, 1, data.data(), data.size());
  int result = 0;
  auto got = Read(h.get(), 0x83, 4096, 1000, &result);
  ASSERT_EQ(result, 64 + 64 + 12);
  for (size_t offset : {0u, 64u, 128u}) {
    EXPECT_EQ(got[offset], 0x31) << "modem status with the chip's low bit";
    EXPECT_EQ(got[offset + 1], 0x60);
  }
  std::string payload(got.begin() + 2, got.begin() + 64);
  payload.append(got.begin() + 66, got.begin() + 128);
  payload.append(got.begin() + 130, got.end());
  EXPECT_EQ(payload, data);
  EXPECT_EQ(vexa_sim_rx_pending(chip, 1), 0u);
  EXPECT_EQ(vexa_sim_rx_pending(chip, 0), 0u);
}

TEST_F(SimBulkTest, QueueEmptiedAfterFullPacketsEndsWithAStatusPacketAtOnce) {
  int chip = AddChip(Chip(1, 512));
  UsbHandle h = OpenNth(0);
  std::string data = Payload(510 * 2);
  vexa_sim_queue_rx(chip, 0, data.data(), data.size());
  int result = 0;
  auto got = Read(h.get(), 0x81, 4096, 0, &result);
  ASSERT_EQ(result, 512 * 2 + 2);
  EXPECT_EQ(got[1024], 0x01);
}

TEST_F(SimBulkTest, TransferStopsAtTheRequestedSizeOnAPacketBoundary) {
  int chip = AddChip(Chip());
  UsbHandle h = OpenNth(0);
  std::string data = Payload(62 * 3);
  vexa_sim_queue_rx(chip, 0, data.data(), data.size());
  int result = 0;
  Read(h.get(), 0x81, 128, 1000, &result);
  EXPECT_EQ(result, 128);
  EXPECT_EQ(vexa_sim_rx_pending(chip, 0), 62u);
}

TEST_F(SimBulkTest, OverflowingPacketFillsTheBufferAndLosesItsRest) {
  int chip = AddChip(Chip(1, 512));
  UsbHandle h = OpenNth(0);
  std::string data = Payload(510 + 510);
  vexa_sim_queue_rx(chip, 0, data.data(), data.size());
  int result = 0;
  auto got = Read(h.get(), 0x81, 600, 1000, &result);
  ASSERT_EQ(result, 600);
  EXPECT_EQ(std::string(got.begin() + 514, got.end()), data.substr(510, 86));
  EXPECT_EQ(vexa_sim_rx_pending(chip, 0), 0u) << "the rest of the second packet is gone";
}

TEST_F(SimBulkTest, EmptyQueueAnswersAStatusPacketAfterTheLatencyTimer) {
  int chip = AddChip(Chip());
  UsbHandle h = OpenNth(0);
  ASSERT_EQ(usb_control_msg(h.get(), 0x40, 9, 2, 1, nullptr, 0, 100), 0);
  vexa_sim_set_status(chip, 0, 0x10, 0x02);
  int result = 0;
  auto start = std::chrono::steady_clock::now();
  auto got = Read(h.get(), 0x81, 4096, 0, &result);
  auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(result, 2);
  EXPECT_EQ(got[0], 0x11);
  EXPECT_EQ(got[1], 0x02);
  EXPECT_GE(waited, std::chrono::milliseconds(2)) << "held until the latency timer ran out";
  // Latency 0 behaves as 1 ms rather than spinning.
  ASSERT_EQ(usb_control_msg(h.get(), 0x40, 9, 0, 1, nullptr, 0, 100), 0);
  Read(h.get(), 0x81, 64, 0, &result);
  EXPECT_EQ(result, 2);
}

TEST_F(SimBulkTest, DataQueuedDuringTheLatencyWaitGoesOutWithoutWaitingItOut) {
  int chip = AddChip(Chip());
  UsbHandle h = OpenNth(0);
  ASSERT_EQ(usb_control_msg(h.get(), 0x40, 9, 255, 1, nullptr, 0, 100), 0);
  auto reader = std::async(std::launch::async, [&] {
    int result = 0;
    auto got = Read(h.get(), 0x81, 64, 0, &result);
    return std::string(got.begin() + (result >= 2 ? 2 : 0), got.end());
  });
  // The reader may or may not be waiting yet; either way it must get the data.
  vexa_sim_queue_rx(chip, 0, "xyz", 3);
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(reader.get(), "xyz");
}

TEST_F(SimBulkTest, SilentChannelTimesOutAndDataOfTheTransferIsLost) {
  int chip = AddChip(Chip());
  UsbHandle h = OpenNth(0);
  vexa_sim_set_silent(chip, 0, 1);
  vexa_sim_queue_rx(chip, 0, "abc", 3);
  int result = 0;
  Read(h.get(), 0x81, 64, 5, &result);
  EXPECT_EQ(result, -ETIMEDOUT);
  EXPECT_EQ(vexa_sim_rx_pending(chip, 0), 3u) << "silence sends nothing";

  // Full packets received before a time-out are lost with it. Paced at 19
  // packets per 1 ms frame, 40 packets span three frames, and the third
  // begins more than 1 ms after the first packet: a 1 ms transfer always
  // times out midway. A machine so slow that not even the first packet went
  // out in time shows nothing, so that attempt starts over.
  vexa_sim_set_silent(chip, 0, 0);
  vexa_sim_set_pacing(chip, 0, 1);
  for (int attempt = 0; attempt < 5; ++attempt) {
    ASSERT_EQ(usb_control_msg(h.get(), 0x40, 0, 1, 1, nullptr, 0, 100), 0);  // purge
    std::string data = Payload(62 * 40);
    vexa_sim_queue_rx(chip, 0, data.data(), data.size());
    Read(h.get(), 0x81, 64 * 40, 1, &result);
    ASSERT_EQ(result, -ETIMEDOUT);
    size_t left = vexa_sim_rx_pending(chip, 0);
    if (left == data.size()) continue;
    EXPECT_EQ(left % 62, 0u) << "whole packets went out";
    EXPECT_GT(left, 0u);
    return;
  }
  FAIL() << "no packet went out within 1 ms in five attempts";
}

TEST_F(SimBulkTest, StallReadsZeroAndBulkFaultsDeliverNothing) {
  int chip = AddChip(Chip());
  UsbHandle h = OpenNth(0);
  vexa_sim_queue_rx(chip, 0, "abc", 3);
  vexa_sim_set_stalled(chip, 0, 1);
  int result = -1;
  Read(h.get(), 0x81, 64, 100, &result);
  EXPECT_EQ(result, 0);
  vexa_sim_set_stalled(chip, 0, 0);

  vexa_sim_fault read_fault = Fault(VEXA_SIM_FAULT_BULK_READ, -EIO, chip, -1, 1, 1, 0);
  vexa_sim_add_fault(&read_fault);
  Read(h.get(), 0x81, 64, 100, &result);
  EXPECT_EQ(result, 5) << "skipped";
  vexa_sim_queue_rx(chip, 0, "de", 2);
  Read(h.get(), 0x81, 64, 100, &result);
  EXPECT_EQ(result, -EIO);
  EXPECT_EQ(vexa_sim_rx_pending(chip, 0), 2u);

  vexa_sim_fault write_fault = Fault(VEXA_SIM_FAULT_BULK_WRITE, -EPIPE, chip, -1, 0, 1);
  vexa_sim_add_fault(&write_fault);
  EXPECT_EQ(usb_bulk_write(h.get(), 0x02, "zz", 2, 100), -EPIPE);
  EXPECT_EQ(vexa_sim_tx_pending(chip, 0), 0u);
  EXPECT_EQ(usb_bulk_write(h.get(), 0x02, "zz", 2, 100), 2);
}

TEST_F(SimBulkTest, UnplugEndsAWaitingReadWithZeroThenNoDevice) {
  // The read must be waiting when the chip goes. Nothing outside shows that,
  // so the unplug comes a little later; a read that only started after it
  // (-ENODEV on a loaded machine) makes the attempt start over.
  for (int attempt = 0; attempt < 5; ++attempt) {
    int chip = AddChip(Chip());
    UsbHandle h = OpenNth(0);
    vexa_sim_set_silent(chip, 0, 1);
    auto reader = std::async(std::launch::async, [&] {
      char buf[64];
      return usb_bulk_read(h.get(), 0x81, buf, sizeof buf, 0);  // waits for ever
    });
    EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    vexa_sim_unplug(chip);
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    int result = reader.get();
    char buf[64];
    EXPECT_EQ(usb_bulk_read(h.get(), 0x81, buf, sizeof buf, 100), -ENODEV);
    if (result == -ENODEV) {
      h.reset();
      vexa_sim_reset();
      continue;
    }
    EXPECT_EQ(result, 0);
    return;
  }
  FAIL() << "the read never got to wait before the unplug";
}

TEST_F(SimBulkTest, WritesAreCapturedPerChannelLimitedAndLoopedBack) {
  int chip = AddChip(Chip(2));
  UsbHandle h = OpenNth(0);
  EXPECT_EQ(usb_bulk_write(h.get(), 0x02, "to A", 4, 100), 4);
  EXPECT_EQ(usb_bulk_write(h.get(), 0x04, "to B", 4, 100), 4);
  EXPECT_EQ(usb_bulk_write(h.get(), 0x06, "x", 1, 100), -ENOENT);
  EXPECT_EQ(usb_bulk_write(h.get(), 0x81, "x", 1, 100), -ENOENT) << "an IN endpoint";
  EXPECT_EQ(TakeTx(chip, 0), "to A");
  EXPECT_EQ(TakeTx(chip, 1), "to B");

  vexa_sim_set_write_limit(chip, 0, 3);
  EXPECT_EQ(usb_bulk_write(h.get(), 0x02, "abcdef", 6, 100), 3);
  EXPECT_EQ(TakeTx(chip, 0), "abc");
  vexa_sim_set_write_limit(chip, 0, 0);

  vexa_sim_set_loopback(chip, 1, 1);
  EXPECT_EQ(usb_bulk_write(h.get(), 0x04, "echo", 4, 100), 4);
  int result = 0;
  auto got = Read(h.get(), 0x83, 64, 100, &result);
  ASSERT_EQ(result, 6);
  EXPECT_EQ(std::string(got.begin() + 2, got.end()), "echo");
  EXPECT_EQ(TakeTx(chip, 1), "echo") << "looped bytes are captured too";
}

TEST_F(SimBulkTest, WaitTxWakesOnAWriteAndTimesOutOtherwise) {
  int chip = AddChip(Chip());
  UsbHandle h = OpenNth(0);
  EXPECT_EQ(vexa_sim_wait_tx(chip, 0, 1), 0u);
  auto waiter = std::async(std::launch::async, [&] { return vexa_sim_wait_tx(chip, 0, 10000); });
  EXPECT_EQ(usb_bulk_write(h.get(), 0x02, "hello", 5, 100), 5);
  ASSERT_EQ(waiter.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(waiter.get(), 5u);
}

TEST_F(SimBulkTest, PacingSpreadsPacketsOverFrames) {
  int chip = AddChip(Chip());
  UsbHandle h = OpenNth(0);
  vexa_sim_set_pacing(chip, 0, 1);
  // 19 packets fit one 1 ms frame, so 95 full packets span at least five
  // frames: more than 3 ms from the first packet to the last, however fast
  // the machine.
  std::string data = Payload(62 * 95);
  vexa_sim_queue_rx(chip, 0, data.data(), data.size());
  std::vector<char> buf(64 * 95);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(usb_bulk_read(h.get(), 0x81, buf.data(), static_cast<int>(buf.size()), 0), 64 * 95);
  EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3));
}

TEST_F(SimBulkTest, BulkTransfersAreLoggedUnlessSwitchedOff) {
  int chip = AddChip(Chip());
  UsbHandle h = OpenNth(0);
  vexa_sim_queue_rx(chip, 0, "ab", 2);
  vexa_sim_log_clear();
  char buf[256];
  usb_bulk_write(h.get(), 0x02, "xyz", 3, 100);
  usb_bulk_read(h.get(), 0x81, buf, 256, 100);
  auto out = EntriesOfKind(VEXA_SIM_LOG_BULK_OUT);
  auto in = EntriesOfKind(VEXA_SIM_LOG_BULK_IN);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].endpoint, 0x02);
  EXPECT_EQ(out[0].size, 3);
  EXPECT_EQ(out[0].result, 3);
  ASSERT_EQ(in.size(), 1u);
  EXPECT_EQ(in[0].endpoint, 0x81);
  EXPECT_EQ(in[0].size, 256);
  EXPECT_EQ(in[0].result, 4);
  EXPECT_EQ(in[0].chip, chip);
  vexa_sim_log_bulk(0);
  usb_bulk_write(h.get(), 0x02, "xyz", 3, 100);
  EXPECT_EQ(EntriesOfKind(VEXA_SIM_LOG_BULK_OUT).size(), 1u);
}
