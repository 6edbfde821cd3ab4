// Receive streaming through the simulated chip: integrity of a long stream,
// transfer sizing to the ring's room, and the split packet.
#include <atomic>
#include <random>
#include <thread>

#include "datapath_support.h"
#include "sim_fixture.h"

namespace {

// Fills the ring until exactly `room` bytes are free.
void FillRingLeaving(KX_HANDLE handle, int chip, uint32_t capacity, uint32_t room) {
  ASSERT_TRUE(Deliver(chip, 0, Pattern(capacity - room)));
  ASSERT_TRUE(Eventually([&] { return Queued(handle) == capacity - room; }));
}

class Stream : public SimTest {
 protected:
  // Bulk-in lengths the reader asks for once the ring has settled at a room.
  static std::vector<int> LengthsAtRoom(KX_HANDLE handle, int chip, uint32_t capacity, uint32_t room) {
    FillRingLeaving(handle, chip, capacity, room);
    vexa_sim_log_clear();
    // Idle reads end with a status packet every latency period (16 ms).
    EXPECT_TRUE(Eventually([] { return BulkSizes(VEXA_SIM_LOG_BULK_IN).size() >= 3; }));
    return BulkSizes(VEXA_SIM_LOG_BULK_IN);
  }
};

constexpr uint32_t kCapacity64 = 63488;

// Streams a few MiB while the application reads in random sizes, pausing
// now and then until the ring is full, so that the reader keeps running into
// a full ring, single-packet reads and held-back payload.
void StreamAndVerify(KX_HANDLE handle, int chip, uint32_t capacity, size_t total) {
  vexa_sim_log_bulk(0);
  const std::vector<uint8_t> sent = Pattern(total, static_cast<uint32_t>(capacity));
  std::thread feeder([&] {
    std::mt19937 random(7);
    size_t offset = 0;
    while (offset < total) {
      if (vexa_sim_rx_pending(chip, 0) > 100000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      const size_t n = std::min<size_t>(total - offset, 1 + random() % 20000);
      vexa_sim_queue_rx(chip, 0, sent.data() + offset, n);
      offset += n;
    }
  });

  ASSERT_EQ(KX_SetTimeouts(handle, 10000, 0), KX_OK);
  std::vector<uint8_t> received;
  received.reserve(total);
  std::mt19937 random(11);
  std::vector<uint8_t> buffer(70000);
  int full_pauses = 0;
  size_t next_pause = 0;
  while (received.size() < total) {
    if (received.size() >= next_pause && total - received.size() > capacity + 70000) {
      // Slow reader: let the ring fill up completely before going on.
      EXPECT_TRUE(Eventually([&] { return Queued(handle) == capacity; }, 10000));
      ++full_pauses;
      next_pause += total / 6;
    }
    const uint32_t n = static_cast<uint32_t>(
        std::min<size_t>(total - received.size(), 1 + random() % (random() % 4 ? 3000 : 70000)));
    uint32_t got = 0;
    ASSERT_EQ(KX_Read(handle, buffer.data(), n, &got), KX_OK) << "at " << received.size();
    ASSERT_EQ(got, n);
    received.insert(received.end(), buffer.begin(), buffer.begin() + got);
  }
  feeder.join();
  EXPECT_GE(full_pauses, 3);
  ASSERT_EQ(received.size(), sent.size());
  for (size_t i = 0; i < total; ++i) ASSERT_EQ(received[i], sent[i]) << "first difference at byte " << i;
  EXPECT_EQ(Queued(handle), 0u);
}

TEST_F(Stream, NoByteLostOrReorderedWith64BytePackets) {
  const int chip = AddSingle("S64", "Stream 64", 0x0600, 64);
  KX_HANDLE handle = Open(0);
  ASSERT_NE(handle, nullptr);
  StreamAndVerify(handle, chip, kCapacity64, 3 << 20);
}

TEST_F(Stream, NoByteLostOrReorderedWith512BytePackets) {
  const int chip = AddSingle("S512", "Stream 512", 0x0600, 512);
  KX_HANDLE handle = Open(0);
  ASSERT_NE(handle, nullptr);
  StreamAndVerify(handle, chip, 65280, 3 << 20);
}

TEST_F(Stream, TransferLengthFollowsRoomIn64BytePackets) {
  const int chip = AddSingle("L64", "Lengths", 0x0600, 64);
  KX_HANDLE handle = Open(0);
  ASSERT_NE(handle, nullptr);
  for (int size : LengthsAtRoom(handle, chip, kCapacity64, kCapacity64)) EXPECT_EQ(size, 4096);
  KX_Purge(handle, KX_PURGE_RX);
  for (int size : LengthsAtRoom(handle, chip, kCapacity64, 3968)) EXPECT_EQ(size, 4096);
  KX_Purge(handle, KX_PURGE_RX);
  for (int size : LengthsAtRoom(handle, chip, kCapacity64, 1000)) EXPECT_EQ(size, 960);
  KX_Purge(handle, KX_PURGE_RX);
  for (int size : LengthsAtRoom(handle, chip, kCapacity64, 100)) EXPECT_EQ(size, 64);
  KX_Purge(handle, KX_PURGE_RX);
  for (int size : LengthsAtRoom(handle, chip, kCapacity64, 30)) EXPECT_EQ(size, 64);
}

TEST_F(Stream, TransferLengthIsWholePacketsOn512BytePackets) {
  const int chip = AddSingle("L512", "Lengths", 0x0600, 512);
  KX_HANDLE handle = Open(0);
  ASSERT_NE(handle, nullptr);
  for (int size : LengthsAtRoom(handle, chip, 65280, 1000)) EXPECT_EQ(size, 512);
  KX_Purge(handle, KX_PURGE_RX);
  for (int size : LengthsAtRoom(handle, chip, 65280, 4079)) EXPECT_EQ(size, 3584);
  KX_Purge(handle, KX_PURGE_RX);
  for (int size : LengthsAtRoom(handle, chip, 65280, 200)) EXPECT_EQ(size, 512);
}

TEST_F(Stream, SplitPacketIsHeldBackAndStoredInOrder) {
  const int chip = AddSingle("SP", "Split", 0x0600, 64);
  KX_HANDLE handle = Open(0);
  ASSERT_NE(handle, nullptr);
  const std::vector<uint8_t> first = Pattern(kCapacity64 - 10, 3);
  ASSERT_TRUE(Deliver(chip, 0, first));
  ASSERT_TRUE(Eventually([&] { return Queued(handle) == kCapacity64 - 10; }));

  // One full packet (62 payload bytes) into 10 bytes of room, then more behind it.
  std::vector<uint8_t> second = Pattern(62 + 40, 4);
  vexa_sim_log_clear();
  ASSERT_TRUE(Deliver(chip, 0, std::vector<uint8_t>(second.begin(), second.begin() + 62)));
  ASSERT_TRUE(Eventually([&] { return Queued(handle) == kCapacity64; }));
  EXPECT_EQ(BulkSizes(VEXA_SIM_LOG_BULK_IN), std::vector<int>{64}) << "one single-packet read";
  vexa_sim_queue_rx(chip, 0, second.data() + 62, 40);
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_EQ(BulkSizes(VEXA_SIM_LOG_BULK_IN).size(), 1u) << "no transfer while payload is held back";
  EXPECT_EQ(vexa_sim_rx_pending(chip, 0), 40u);

  // Making 51 bytes of room is not enough for the 52 held back...
  std::vector<uint8_t> buffer(kCapacity64 + 200);
  uint32_t got = 0;
  ASSERT_EQ(KX_Read(handle, buffer.data(), 51, &got), KX_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_EQ(Queued(handle), kCapacity64 - 51);
  EXPECT_EQ(BulkSizes(VEXA_SIM_LOG_BULK_IN).size(), 1u);
  // ...one more byte is; the ring is full again and the chip still holds 40.
  ASSERT_EQ(KX_Read(handle, buffer.data() + 51, 1, &got), KX_OK);
  ASSERT_TRUE(Eventually([&] { return Queued(handle) == kCapacity64; }));
  EXPECT_EQ(vexa_sim_rx_pending(chip, 0), 40u);

  std::vector<uint8_t> expected = first;
  expected.insert(expected.end(), second.begin(), second.end());
  ASSERT_EQ(KX_SetTimeouts(handle, 5000, 0), KX_OK);
  ASSERT_EQ(KX_Read(handle, buffer.data() + 52, static_cast<uint32_t>(expected.size() - 52), &got), KX_OK);
  EXPECT_EQ(got, expected.size() - 52);
  buffer.resize(expected.size());
  EXPECT_EQ(buffer, expected);
}

}  // namespace
