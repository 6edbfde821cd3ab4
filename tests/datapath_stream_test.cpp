// The receive path through the simulated chip: integrity of a long stream,
// transfer sizing to the ring's room, the split packet, a receive purge, and
// the handle's pollable descriptor: when it is readable, and that closing
// releases it.
#include <atomic>
#include <filesystem>
#include <iterator>
#include <new>
#include <random>
#include <string>
#include <thread>

#include "device.h"
#include "sim_fixture.h"

namespace {

// While set, the reader thread cannot have its 64 KiB transfer buffer: only
// requests of that size from threads other than the test's fail, so the
// handle's ring (the same size, allocated by KX_Open on the test's thread)
// is still granted.
std::atomic<bool> starve_reader{false};
std::thread::id test_thread;

}  // namespace

void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
  if (size == 65536 && starve_reader.load() && std::this_thread::get_id() != test_thread)
    return nullptr;
  try {
    return ::operator new[](size);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

namespace {

constexpr uint32_t kCapacity64 = 63488, kCapacity512 = 65280;

// Long enough for the simulated chip to send several packets, so that a
// descriptor that wrongly became readable would have done so.
constexpr int kSettleMs = 60;
constexpr int kWakeMs = 2000;

std::ptrdiff_t OpenDescriptors() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

int Fd(KX_HANDLE handle) {
  int fd = -1;
  EXPECT_EQ(vexa_get_event_fd(handle, &fd), KX_OK);
  return fd;
}

using Stream = OpenChipTest;

// A few MiB streamed while the application reads in random sizes, pausing
// now and then until the ring is full, so that the reader keeps running into
// a full ring, single-packet reads and held-back payload. Without a read
// time-out every read waits for all it asked, however the bytes trickle in.
// Only this thread takes bytes out, so the descriptor must be readable
// exactly while bytes wait.
TEST_F(Stream, NoByteLostOrReorderedAndTheDescriptorFollows) {
  const struct {
    int packet;
    uint32_t capacity;
  } rows[] = {{64, kCapacity64}, {512, kCapacity512}};
  for (const auto &row : rows) {
    SCOPED_TRACE(testing::Message() << row.packet << "-byte packets");
    Reopen(row.packet);
    const int fd = Fd(handle_);
    ASSERT_EQ(KX_SetTimeouts(handle_, 0, 0), KX_OK);
    const size_t total = 3 << 20;
    const std::vector<uint8_t> sent = Pattern(total, row.capacity);
    std::thread feeder([&] {
      std::mt19937 random(7);
      for (size_t offset = 0; offset < total;) {
        if (vexa_sim_rx_pending(chip_, 0) > 100000) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
          continue;
        }
        const size_t n = std::min<size_t>(total - offset, 1 + random() % 20000);
        vexa_sim_queue_rx(chip_, 0, sent.data() + offset, n);
        offset += n;
      }
    });
    std::vector<uint8_t> received, buffer(70000);
    received.reserve(total);
    std::mt19937 random(11);
    int full_pauses = 0;
    for (size_t next_pause = 0; received.size() < total;) {
      if (received.size() >= next_pause && total - received.size() > row.capacity + 70000) {
        EXPECT_TRUE(Eventually([&] { return Queued(handle_) == row.capacity; }, 10000))
            << "slow reader: a full ring";
        ++full_pauses;
        next_pause += total / 6;
      }
      ASSERT_TRUE(!Readable(fd, 0) || Queued(handle_) > 0) << "readable over an empty ring";
      ASSERT_TRUE(Queued(handle_) == 0 || Readable(fd, 2000)) << "bytes wait unannounced";
      const uint32_t n = static_cast<uint32_t>(
          std::min<size_t>(total - received.size(), 1 + random() % (random() % 4 ? 3000 : 70000)));
      uint32_t got = 0;
      // On its own thread, so that a read that never ends fails the test instead of hanging it.
      ASSERT_EQ(Within(10000, [&] { return KX_Read(handle_, buffer.data(), n, &got); }), KX_OK)
          << "at " << received.size();
      ASSERT_EQ(got, n);
      received.insert(received.end(), buffer.begin(), buffer.begin() + got);
    }
    feeder.join();
    EXPECT_GE(full_pauses, 3);
    for (size_t i = 0; i < total; ++i)
      ASSERT_EQ(received[i], sent[i]) << "first difference at byte " << i;
    EXPECT_EQ(Queued(handle_), 0u);
  }
}

// The bulk-in lengths the reader asks for, from the chip's log, once the ring
// has settled at a given room: whole packets, never more than the transfer
// size, one packet when less than one fits.
TEST_F(Stream, TransferLengthFollowsTheRoomInWholePackets) {
  const struct {
    int packet;
    uint32_t capacity, room;
    int length;
  } rows[] = {
      {64, kCapacity64, kCapacity64, 4096}, {64, kCapacity64, 3968, 4096},
      {64, kCapacity64, 1000, 960},         {64, kCapacity64, 100, 64},
      {64, kCapacity64, 30, 64},            {512, kCapacity512, 1000, 512},
      {512, kCapacity512, 4079, 3584},      {512, kCapacity512, 200, 512},
  };
  int packet = 64;  // as the fixture opened it
  for (const auto &row : rows) {
    SCOPED_TRACE(testing::Message() << row.packet << "-byte packets, room " << row.room);
    if (row.packet != packet) Reopen(packet = row.packet);
    ASSERT_EQ(KX_Purge(handle_, KX_PURGE_RX), KX_OK);
    ASSERT_TRUE(Deliver(chip_, 0, Pattern(row.capacity - row.room)));
    ASSERT_TRUE(Eventually([&] { return Queued(handle_) == row.capacity - row.room; }));
    vexa_sim_log_clear();
    // Idle reads end with a status packet every latency period (16 ms).
    ASSERT_TRUE(Eventually([] { return BulkSizes(VEXA_SIM_LOG_BULK_IN).size() >= 3; }));
    for (int size : BulkSizes(VEXA_SIM_LOG_BULK_IN)) EXPECT_EQ(size, row.length);
  }
}

// A packet with more payload than the ring has room for: what fits is
// stored, the rest is held back until there is room for all of it, and
// nothing is read from the chip meanwhile.
TEST_F(Stream, SplitPacketIsHeldBackAndStoredInOrder) {
  // The ring filled to 10 bytes short, then one full packet (62 payload
  // bytes), then 40 bytes more.
  const std::vector<uint8_t> sent = Pattern(kCapacity64 - 10 + 62 + 40, 3);
  ASSERT_TRUE(Deliver(chip_, 0, std::vector<uint8_t>(sent.begin(), sent.end() - 102)));
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == kCapacity64 - 10; }));
  vexa_sim_log_clear();
  ASSERT_TRUE(Deliver(chip_, 0, std::vector<uint8_t>(sent.end() - 102, sent.end() - 40)));
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == kCapacity64; }));
  EXPECT_EQ(BulkSizes(VEXA_SIM_LOG_BULK_IN), std::vector<int>{64}) << "one single-packet read";
  ASSERT_EQ(vexa_sim_queue_rx(chip_, 0, sent.data() + sent.size() - 40, 40), 0);

  // Making 51 bytes of room is not enough for the 52 held back; one more is.
  std::vector<uint8_t> received = ReadExactly(handle_, 51);
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_EQ(Queued(handle_), kCapacity64 - 51);
  received.push_back(ReadExactly(handle_, 1).at(0));
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == kCapacity64; }));
  EXPECT_EQ(vexa_sim_rx_pending(chip_, 0), 40u);
  const std::vector<uint8_t> rest = ReadExactly(handle_, sent.size() - 52);
  received.insert(received.end(), rest.begin(), rest.end());
  EXPECT_EQ(received, sent);
}

// Without its transfer buffer the reader works one packet at a time from a
// small buffer of its own, and no byte is lost.
TEST_F(Stream, ReaderWithoutItsBufferReadsOnePacketPerTransfer) {
  CloseAll();
  vexa_sim_reset();
  chip_ = AddSingle("R4", "Latency timer 16 ms", 0x0400);
  test_thread = std::this_thread::get_id();
  starve_reader = true;
  handle_ = Open(0);
  ASSERT_TRUE(Eventually([&] { return as_device(handle_)->in_transfer_size.load() == 64; }));
  starve_reader = false;
  const std::vector<uint8_t> sent = Pattern(5000, 9);
  vexa_sim_log_clear();
  ASSERT_EQ(vexa_sim_queue_rx(chip_, 0, sent.data(), sent.size()), 0);
  EXPECT_EQ(ReadExactly(handle_, sent.size()), sent);
  for (int size : BulkSizes(VEXA_SIM_LOG_BULK_IN)) ASSERT_EQ(size, 64);
  EXPECT_EQ(as_device(handle_)->transfer_timeout.load(), 5016u)
      << "one packet per transfer times the latency";
}

// A receive purge discards everything received before it, also the payload
// held back because its packet did not fit the ring: the next bytes read are
// the first the chip sent after the purge.
TEST_F(Stream, ReceivePurgeDropsHeldBackPayloadToo) {
  const struct {
    int packet, interfaces, channel;
    uint32_t capacity;
  } rows[] = {{64, 1, 0, kCapacity64}, {512, 1, 0, kCapacity512}, {64, 2, 1, kCapacity64}};
  for (const auto &row : rows) {
    SCOPED_TRACE(testing::Message() << row.packet << "-byte packets, channel " << row.channel);
    CloseAll();
    vexa_sim_reset();
    chip_ = AddChip({0, 0, 0, nullptr, nullptr, nullptr, row.interfaces, row.packet, 0, 0, 0});
    handle_ = Open(row.channel);
    const auto old = Pattern(row.capacity + 3 * static_cast<uint32_t>(row.packet), 5);
    ASSERT_EQ(vexa_sim_queue_rx(chip_, row.channel, old.data(), old.size()), 0);
    ASSERT_TRUE(Eventually([&] { return Queued(handle_) == row.capacity; }));
    // 30 bytes of room take 30 bytes of the next packet; the rest is held back.
    ReadExactly(handle_, 30);
    ASSERT_TRUE(Eventually([&] { return Queued(handle_) == row.capacity; }));

    ASSERT_EQ(KX_Purge(handle_, KX_PURGE_RX), KX_OK);
    ASSERT_EQ(vexa_sim_queue_rx(chip_, row.channel, "0123456789", 10), 0);
    const std::vector<uint8_t> got = ReadExactly(handle_, 10);
    EXPECT_EQ(std::string(got.begin(), got.end()), "0123456789");
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_EQ(Queued(handle_), 0u);
  }
}

using EventFdTest = OpenChipTest;

TEST_F(EventFdTest, FollowsTheRingThroughPartialReadFullReadAndPurge) {
  const int fd = Fd(handle_);
  EXPECT_FALSE(Readable(fd, kSettleMs)) << "idle status packets carry no bytes";
  const std::vector<uint8_t> sent = Pattern(100);
  vexa_sim_queue_rx(chip_, 0, sent.data(), sent.size());
  ASSERT_TRUE(Readable(fd, kWakeMs));
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == 100; }));

  std::vector<uint8_t> got = ReadExactly(handle_, 40);
  EXPECT_TRUE(Readable(fd, 0)) << "60 bytes remain";
  const std::vector<uint8_t> rest = ReadExactly(handle_, 60);
  got.insert(got.end(), rest.begin(), rest.end());
  EXPECT_EQ(got, sent);
  EXPECT_FALSE(Readable(fd, 0)) << "the read emptied the ring";

  ASSERT_TRUE(Deliver(chip_, 0, Pattern(30, 2)));
  ASSERT_TRUE(Readable(fd, kWakeMs));
  ASSERT_EQ(KX_Purge(handle_, KX_PURGE_RX), KX_OK);
  EXPECT_FALSE(Readable(fd, 0)) << "the purge emptied the ring";
  EXPECT_FALSE(Readable(fd, kSettleMs));
}

TEST_F(EventFdTest, StatusChangesStayReadableUntilTheModemStatusIsRead) {
  const int fd = Fd(handle_);
  const struct {
    uint8_t modem, line;
    bool wakes;
    const char *what;
  } steps[] = {
      {0x30, 0x60, true, "CTS and DSR rise"},
      {0x30, 0x62, true, "overrun reported"},
      {0x30, 0x60, true, "overrun over"},
      {0x30, 0x00, false, "transmitter bits alone"},
      {0xB0, 0x00, true, "DCD rises"},
  };
  unsigned long modem = 0;
  ASSERT_EQ(KX_GetModemStatus(handle_, &modem), KX_OK);
  for (const auto &step : steps) {
    SCOPED_TRACE(step.what);
    ASSERT_EQ(vexa_sim_set_status(chip_, 0, step.modem, step.line), 0);
    if (!step.wakes) {
      EXPECT_FALSE(Readable(fd, kSettleMs));
      continue;
    }
    ASSERT_TRUE(Readable(fd, kWakeMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
    EXPECT_TRUE(Readable(fd, 0)) << "level-triggered: stays readable until read";
    ASSERT_EQ(KX_GetModemStatus(handle_, &modem), KX_OK);
    EXPECT_EQ(modem, step.modem);
    EXPECT_FALSE(Readable(fd, 0));
  }

  // Both conditions: reading the status leaves the bytes to wake for.
  ASSERT_EQ(vexa_sim_set_status(chip_, 0, 0x10, 0x00), 0);
  ASSERT_TRUE(Deliver(chip_, 0, Pattern(10)));
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == 10; }));
  ASSERT_EQ(KX_GetModemStatus(handle_, &modem), KX_OK);
  EXPECT_TRUE(Readable(fd, 0));
  ReadExactly(handle_, 10);
  EXPECT_FALSE(Readable(fd, 0));
}

// A handle has one descriptor. Asked for only after bytes and a status
// change arrived, it starts readable and stays so until both are taken.
TEST_F(EventFdTest, OneDescriptorPerHandleStartingFromTheCurrentState) {
  EXPECT_EQ(Fd(handle_), Fd(handle_));
  int fd = -1;
  EXPECT_EQ(vexa_get_event_fd(nullptr, &fd), KX_ERR_PARAMETER);
  EXPECT_EQ(vexa_get_event_fd(handle_, nullptr), KX_ERR_PARAMETER);

  Reopen();
  ASSERT_EQ(vexa_sim_set_status(chip_, 0, 0x90, 0x00), 0);
  ASSERT_TRUE(Deliver(chip_, 0, Pattern(5)));
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == 5; }));
  fd = Fd(handle_);
  EXPECT_TRUE(Readable(fd, 0));
  ReadExactly(handle_, 5);
  EXPECT_TRUE(Readable(fd, 0)) << "the status change is unread";
  unsigned long modem = 0;
  ASSERT_EQ(KX_GetModemStatus(handle_, &modem), KX_OK);
  EXPECT_EQ(modem, 0x90u);
  EXPECT_FALSE(Readable(fd, 0));
}

TEST_F(EventFdTest, CloseReleasesTheDescriptor) {
  Close(handle_);
  const int before = OpenDescriptors();
  for (int i = 0; i < 200; ++i) {
    KX_HANDLE handle = nullptr;
    ASSERT_EQ(KX_Open(0, &handle), KX_OK);
    EXPECT_GE(Fd(handle), 0);
    ASSERT_EQ(KX_Close(handle), KX_OK);
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
