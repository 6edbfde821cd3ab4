// The hand-off between a waiting KX_Read and the reader thread, on a
// hand-made record: this test plays the reader thread itself, so every
// delivery happens exactly when the test says.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "bulk_in.h"
#include "hand_made_device.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// What the reader thread does with one received packet.
void Arrive(norvec_device &device, const std::vector<uint8_t> &payload) {
  auto raw = Packet(0, 0, payload);
  ProcessBulkInData(&device, raw.data(), static_cast<int>(raw.size()));
  ProcessRead(&device);
}

bool Pending(norvec_device &device) {
  pthread_mutex_lock(&device.rx_lock);
  const bool pending = device.read_pending != 0;
  pthread_mutex_unlock(&device.rx_lock);
  return pending;
}

// Waits (bounded) until a KX_Read on another thread has published its request.
bool WaitPending(norvec_device &device) {
  const auto end = steady_clock::now() + std::chrono::seconds(5);
  while (!Pending(device)) {
    if (steady_clock::now() > end) return false;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

struct ReadCall {
  std::vector<uint8_t> buffer;
  uint32_t returned = 12345;
  KX_STATUS status = 99;
  std::thread thread;
  void Start(norvec_device &device, uint32_t n) {
    buffer.assign(n, 0xEE);
    thread = std::thread([this, &device, n] { status = KX_Read(&device, buffer.data(), n, &returned); });
  }
  void Join() { thread.join(); }
};

TEST(ReadHandoff, ZeroLengthAndNullArguments) {
  HandMadeDevice hand;
  uint8_t byte = 0;
  uint32_t returned = 42;
  EXPECT_EQ(KX_Read(&hand.device, &byte, 0, &returned), KX_OK);
  EXPECT_EQ(returned, 42u);
  EXPECT_EQ(KX_Read(nullptr, &byte, 1, &returned), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_Read(&hand.device, nullptr, 1, &returned), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_Read(&hand.device, &byte, 1, nullptr), KX_ERR_PARAMETER);
  EXPECT_FALSE(Pending(hand.device));
}

TEST(ReadHandoff, WaitingReadFillsInPiecesInArrivalOrder) {
  HandMadeDevice hand;
  Arrive(hand.device, Counting(30, 0));  // buffered, but fewer than asked: nothing copied at once
  ReadCall call;
  call.Start(hand.device, 100);
  ASSERT_TRUE(WaitPending(hand.device));
  EXPECT_EQ(call.returned, 0u) << "a waiting read copies nothing itself";
  ProcessRead(&hand.device);
  EXPECT_EQ(call.returned, 30u);
  Arrive(hand.device, Counting(50, 30));
  EXPECT_EQ(call.returned, 80u);
  EXPECT_TRUE(Pending(hand.device));
  Arrive(hand.device, Counting(40, 80));  // 20 complete the read, 20 stay in the ring
  call.Join();
  EXPECT_EQ(call.status, KX_OK);
  EXPECT_EQ(call.returned, 100u);
  EXPECT_EQ(call.buffer, Counting(100, 0));
  EXPECT_FALSE(Pending(hand.device));
  EXPECT_EQ(hand.Queued(), 20u);
  EXPECT_EQ(hand.device.read_event, nullptr);
}

TEST(ReadHandoff, TimeoutKeepsPartialDataAndEndsDelivery) {
  HandMadeDevice hand;
  ASSERT_EQ(KX_SetTimeouts(&hand.device, 300, 0), KX_OK);
  ReadCall call;
  const auto start = steady_clock::now();
  call.Start(hand.device, 10);
  ASSERT_TRUE(WaitPending(hand.device));
  Arrive(hand.device, {1, 2, 3});
  call.Join();
  const auto waited = steady_clock::now() - start;
  EXPECT_EQ(call.status, KX_ERR_IO);
  EXPECT_EQ(call.returned, 3u);
  EXPECT_GE(waited, milliseconds(290));
  EXPECT_EQ(std::vector<uint8_t>(call.buffer.begin(), call.buffer.begin() + 4),
            (std::vector<uint8_t>{1, 2, 3, 0xEE}));

  // After the time-out nothing more reaches that caller; later bytes stay queued.
  Arrive(hand.device, {4, 5, 6, 7, 8, 9, 10});
  EXPECT_EQ(call.returned, 3u);
  EXPECT_EQ(call.buffer[3], 0xEE);
  EXPECT_EQ(hand.Queued(), 7u);
}

TEST(ReadHandoff, NoTimeoutWaitsForEveryByte) {
  HandMadeDevice hand;
  ReadCall call;
  call.Start(hand.device, 64);
  ASSERT_TRUE(WaitPending(hand.device));
  for (int i = 0; i < 63; ++i) Arrive(hand.device, {static_cast<uint8_t>(i)});
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_TRUE(Pending(hand.device)) << "one byte is still missing";
  Arrive(hand.device, {63});
  call.Join();
  EXPECT_EQ(call.status, KX_OK);
  EXPECT_EQ(call.returned, 64u);
  EXPECT_EQ(call.buffer, Counting(64));
}

TEST(ReadHandoff, PurgeEndsAWaitingReadWithWhatItHad) {
  HandMadeDevice hand;  // read time-out 0: only the purge can end this read
  ReadCall call;
  call.Start(hand.device, 100);
  ASSERT_TRUE(WaitPending(hand.device));
  Arrive(hand.device, Counting(12));
  auto raw = Packet(0, 0, Counting(5, 200));
  ProcessBulkInData(&hand.device, raw.data(), static_cast<int>(raw.size()));  // not yet delivered
  PurgeReceiveRing(&hand.device);
  call.Join();
  EXPECT_EQ(call.status, KX_OK);
  EXPECT_EQ(call.returned, 12u);
  EXPECT_EQ(std::vector<uint8_t>(call.buffer.begin(), call.buffer.begin() + 12), Counting(12));
  EXPECT_EQ(hand.Queued(), 0u) << "the purge empties the ring";
  EXPECT_EQ(hand.device.rx_read_pos, 0u);
  EXPECT_EQ(hand.device.rx_write_pos, 0u);
  EXPECT_FALSE(Pending(hand.device));
}

TEST(ReadHandoff, CancelWithoutAWaiterIsHarmless) {
  HandMadeDevice hand;
  CancelReadRequest(&hand.device);
  CompleteReadRequest(&hand.device);
  PurgeReceiveRing(&hand.device);
  EXPECT_FALSE(Pending(hand.device));
}

// Reads with short time-outs race a feeding "reader thread" and purges. Every
// finished call's buffer and count are checked after everything has stopped:
// a delivery after a time-out or a purge would show as a changed count or a
// written byte past the count. Run it under ThreadSanitizer too.
TEST(ReadHandoff, StressTimeoutsDeliveriesAndPurges) {
  HandMadeDevice hand;
  ASSERT_EQ(KX_SetTimeouts(&hand.device, 1, 0), KX_OK);
  std::atomic<bool> stop{false};
  // A purge overlaps a read when one began before the read ended and had
  // not ended before the read began.
  std::atomic<uint32_t> purges_begun{0};
  std::atomic<uint32_t> purges_ended{0};

  std::thread feeder([&] {
    uint8_t next = 0;
    while (!stop.load()) {
      std::vector<uint8_t> payload(1 + next % 23);
      for (auto &byte : payload) byte = static_cast<uint8_t>(next++ % 200);  // never 0xEE
      pthread_mutex_lock(&hand.device.rx_lock);
      const bool room = hand.device.rx_free >= payload.size();
      pthread_mutex_unlock(&hand.device.rx_lock);
      if (room) {
        auto raw = Packet(0, 0, payload);
        ProcessBulkInData(&hand.device, raw.data(), static_cast<int>(raw.size()));
      }
      ProcessRead(&hand.device);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  std::thread purger([&] {
    while (!stop.load()) {
      std::this_thread::sleep_for(milliseconds(3));
      purges_begun.fetch_add(1);
      PurgeReceiveRing(&hand.device);
      purges_ended.fetch_add(1);
    }
  });

  struct Finished {
    std::vector<uint8_t> buffer;
    uint32_t returned;
    uint32_t returned_at_return;
    KX_STATUS status;
    bool purged_during;
  };
  std::vector<Finished> calls;
  calls.reserve(600);
  for (int i = 0; i < 600; ++i) {
    const uint32_t n = 1 + static_cast<uint32_t>(i * 37 % 150);
    calls.push_back({std::vector<uint8_t>(n, 0xEE), 0, 0, 0, false});
    Finished &call = calls.back();
    const uint32_t ended_before = purges_ended.load();
    call.status = KX_Read(&hand.device, call.buffer.data(), n, &call.returned);
    call.returned_at_return = call.returned;
    call.purged_during = purges_begun.load() != ended_before;
  }
  stop.store(true);
  feeder.join();
  purger.join();

  size_t timeouts = 0;
  for (const auto &call : calls) {
    const uint32_t n = static_cast<uint32_t>(call.buffer.size());
    ASSERT_EQ(call.returned, call.returned_at_return) << "count changed after the call returned";
    ASSERT_LE(call.returned, n);
    if (call.status == KX_ERR_IO) {
      ++timeouts;
      ASSERT_LT(call.returned, n);
    } else {
      ASSERT_EQ(call.status, KX_OK);
      if (!call.purged_during) {
        ASSERT_EQ(call.returned, n);
      }
    }
    for (uint32_t i = 0; i < n; ++i)
      ASSERT_EQ(call.buffer[i] == 0xEE, i >= call.returned) << "byte " << i << " of " << n;
  }
  EXPECT_GT(timeouts, 0u) << "the race was not exercised";
}

}  // namespace
