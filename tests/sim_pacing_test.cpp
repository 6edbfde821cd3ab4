// The chip model's bus pacing stepped at chosen instants (no sleeping, no
// dependence on machine speed), its byte queues, and which waiters bulk OUT
// and unplug wake.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <deque>
#include <future>
#include <random>
#include <thread>

#include "byte_fifo.h"
#include "sim_model.h"
#include "sim_test_helpers.h"

using namespace simtest;
using vexa_sim::BulkIn;
using vexa_sim::Clock;

namespace {

constexpr int kPacket = 64;
constexpr int kPerFrame = 19;  // full speed: packets per 1 ms frame

// A full-speed paced chip made straight from the model, with `payload` bytes
// queued; frame f begins at Frame(f).
struct PacedChip {
  std::shared_ptr<vexa_sim::Chip> chip;

  explicit PacedChip(size_t payload) {
    vexa_sim_chip_config config = {};
    chip = vexa_sim::make_chip(config);
    channel().pacing = 1;
    std::vector<uint8_t> bytes(payload, 0x5A);
    channel().rx.append(bytes.data(), bytes.size());
  }
  vexa_sim::Channel &channel() { return chip->channels[0]; }
  static Clock::time_point Frame(int64_t f) { return Clock::time_point(std::chrono::milliseconds(f)); }

  // One step of `transfer` at `now`; returns whether it ended.
  bool Step(BulkIn &transfer, std::vector<uint8_t> &buffer, Clock::time_point now, bool expired,
            int *result, std::optional<Clock::time_point> *wake) {
    std::lock_guard<std::mutex> lock(vexa_sim::sim().mutex);
    return vexa_sim::bulk_in_step(*chip, transfer, buffer.data(), now, expired, result, wake);
  }
};

BulkIn Transfer(int packets) {
  BulkIn transfer;
  transfer.size = packets * kPacket;
  return transfer;
}

TEST(SimPacing, ATransferSleepsUntilTheFrameItCanEndInAndIsOwedEveryFrameItWaited) {
  PacedChip paced(62 * 100);
  BulkIn transfer = Transfer(40);
  std::vector<uint8_t> buffer(static_cast<size_t>(transfer.size));
  int result = 0;
  std::optional<Clock::time_point> wake;

  // Frame 1000 carries 19 packets; the 40th packet falls in frame 1002, so
  // that is the one wake-up asked for, not one per frame.
  const auto start = PacedChip::Frame(1000) + std::chrono::microseconds(300);
  EXPECT_FALSE(paced.Step(transfer, buffer, start, false, &result, &wake));
  EXPECT_EQ(transfer.got, kPerFrame * kPacket);
  ASSERT_TRUE(wake.has_value());
  EXPECT_EQ(*wake, PacedChip::Frame(1002));

  // Woken far too late: the frames that began meanwhile still carried the
  // packets, as a host controller keeps polling while the host sleeps.
  EXPECT_TRUE(paced.Step(transfer, buffer, PacedChip::Frame(1007), false, &result, &wake));
  EXPECT_EQ(result, 40 * kPacket);
  EXPECT_EQ(paced.channel().rx.size(), static_cast<size_t>(62 * 60));

  // Frames that passed with no transfer pending carried nothing: a transfer
  // started in frame 1010 gets that frame's packets only.
  BulkIn next = Transfer(80);
  std::vector<uint8_t> next_buffer(static_cast<size_t>(next.size));
  EXPECT_FALSE(paced.Step(next, next_buffer, PacedChip::Frame(1010), false, &result, &wake));
  EXPECT_EQ(next.got, kPerFrame * kPacket);
  // The 41 payload packets left and the short packet after them end it: 42
  // packets from the first slot of frame 1011, the last in frame 1013.
  ASSERT_TRUE(wake.has_value());
  EXPECT_EQ(*wake, PacedChip::Frame(1013));
}

TEST(SimPacing, AtItsDeadlineATransferGetsOnlyTheFramesBegunByThenAndTimesOut) {
  PacedChip paced(62 * 100);
  BulkIn transfer = Transfer(60);
  std::vector<uint8_t> buffer(static_cast<size_t>(transfer.size));
  int result = 0;
  std::optional<Clock::time_point> wake;
  EXPECT_FALSE(paced.Step(transfer, buffer, PacedChip::Frame(50), false, &result, &wake));
  // Stepped at a deadline inside frame 51: frame 51's packets went out (and
  // are lost with the time-out), frame 52's did not.
  EXPECT_TRUE(paced.Step(transfer, buffer, PacedChip::Frame(51) + std::chrono::microseconds(900), true,
                         &result, &wake));
  EXPECT_EQ(result, -ETIMEDOUT);
  EXPECT_EQ(paced.channel().rx.size(), static_cast<size_t>(62 * (100 - 2 * kPerFrame)));
}

TEST(SimPacing, NoFrameCarriesMoreThanItsPacketsHoweverOftenItIsStepped) {
  PacedChip paced(62 * 1000);
  std::vector<uint8_t> buffer(4096);
  int result = 0;
  std::optional<Clock::time_point> wake;
  // 4096-byte transfers stepped every 100 us over 20 frames.
  int64_t packets = 0;
  BulkIn transfer = Transfer(64);
  for (int tick = 0; tick < 200; ++tick) {
    const auto now = PacedChip::Frame(7000) + std::chrono::microseconds(100 * tick);
    if (paced.Step(transfer, buffer, now, false, &result, &wake)) {
      packets += result / kPacket;
      transfer = Transfer(64);
    }
  }
  packets += transfer.got / kPacket;
  EXPECT_EQ(packets, 20 * kPerFrame);
}

TEST(SimByteFifo, KeepsOrderAcrossInterleavedAppendsAndTakes) {
  vexa_sim::ByteFifo fifo;
  std::deque<uint8_t> reference;
  std::mt19937 random(5);
  uint8_t next = 0;
  for (int round = 0; round < 2000; ++round) {
    std::vector<uint8_t> bytes(random() % 700);
    for (uint8_t &b : bytes) b = next++;
    fifo.append(bytes.data(), bytes.size());
    reference.insert(reference.end(), bytes.begin(), bytes.end());
    const size_t n = random() % (fifo.size() + 1);
    std::vector<uint8_t> out(n);
    fifo.take(round % 5 ? out.data() : nullptr, n);
    if (round % 5) {
      ASSERT_TRUE(std::equal(out.begin(), out.end(), reference.begin())) << round;
    }
    reference.erase(reference.begin(), reference.begin() + static_cast<std::ptrdiff_t>(n));
    ASSERT_EQ(fifo.size(), reference.size());
  }
  fifo.clear();
  EXPECT_TRUE(fifo.empty());
}

class SimWakeUps : public SimTest {};

TEST_F(SimWakeUps, LoopbackDataReachesABulkReadAlreadyWaiting) {
  int chip = AddChip(Chip());
  UsbHandle h = OpenNth(0);
  // A latency timer of 255 ms and a read time-out of 250 ms: a read left
  // asleep by the write would time out rather than carry the bytes.
  ASSERT_EQ(usb_control_msg(h.get(), 0x40, 9, 255, 1, nullptr, 0, 100), 0);
  vexa_sim_set_loopback(chip, 0, 1);
  auto reader = std::async(std::launch::async, [&] {
    char buffer[64];
    return usb_bulk_read(h.get(), 0x81, buffer, sizeof buffer, 250);
  });
  // Give the read a moment to be waiting; should it start later, it finds
  // the bytes queued and passes all the same.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(usb_bulk_write(h.get(), 0x02, "hello", 5, 100), 5);
  EXPECT_EQ(reader.get(), 7);
}

TEST_F(SimWakeUps, WaitForTransmitDataEndsOnUnplug) {
  int chip = AddChip(Chip());
  UsbHandle h = OpenNth(0);
  auto waiter = std::async(std::launch::async, [&] { return vexa_sim_wait_tx(chip, 0, 60000); });
  vexa_sim_unplug(chip);
  ASSERT_EQ(waiter.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(waiter.get(), 0u);
}

}  // namespace
