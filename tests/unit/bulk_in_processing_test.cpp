// Packet handling, ring arithmetic, transfer sizing and event raising of the
// reader thread, on a hand-made record.
#include <gtest/gtest.h>

#include <cstring>

#include "bulk_in.h"
#include "hand_made_device.h"
#include "read_wait.h"
#include "transfer_size.h"

namespace {

void Feed(norvec_device &device, std::vector<uint8_t> raw) {
  ProcessBulkInData(&device, raw.data(), static_cast<int>(raw.size()));
}

std::vector<uint8_t> RingAt(const HandMadeDevice &hand, uint32_t pos, size_t n) {
  return std::vector<uint8_t>(hand.storage.begin() + pos, hand.storage.begin() + pos + n);
}

TEST(TransferSizing, PayloadPerTransferAndRingCapacity) {
  HandMadeDevice full_speed(64);
  EXPECT_EQ(GetBytesPerTransfer(4096, &full_speed.device), 3968u);
  EXPECT_EQ(GetBytesPerTransfer(65536, &full_speed.device), 63488u);
  EXPECT_EQ(GetBytesPerTransfer(64, &full_speed.device), 62u);
  HandMadeDevice high_speed(512);
  EXPECT_EQ(GetBytesPerTransfer(4096, &high_speed.device), 4080u);
  EXPECT_EQ(GetBytesPerTransfer(65536, &high_speed.device), 65280u);
}

TEST(TransferSizing, LengthFollowsFreeRoomInWholePackets) {
  // 64-byte packets, 4096-byte transfers carrying 3968 payload bytes.
  EXPECT_EQ(InTransferLength(0, 64, 4096, 3968), 0u);
  EXPECT_EQ(InTransferLength(1, 64, 4096, 3968), 64u);
  EXPECT_EQ(InTransferLength(100, 64, 4096, 3968), 64u);
  EXPECT_EQ(InTransferLength(1000, 64, 4096, 3968), 960u);
  EXPECT_EQ(InTransferLength(3968, 64, 4096, 3968), 4096u);
  EXPECT_EQ(InTransferLength(63488, 64, 4096, 3968), 4096u);
  for (uint32_t room = 64; room < 3968; ++room)
    ASSERT_EQ(InTransferLength(room, 64, 4096, 3968), room & ~63u) << room;
  // 512-byte packets: never a partial packet, whatever the room.
  EXPECT_EQ(InTransferLength(300, 512, 4096, 4080), 512u);
  EXPECT_EQ(InTransferLength(4080, 512, 4096, 4080), 4096u);
  for (uint32_t room = 512; room < 4080; ++room) {
    const uint32_t length = InTransferLength(room, 512, 4096, 4080);
    ASSERT_EQ(length % 512, 0u) << room;
    ASSERT_LE(length - 2 * (length / 512), room) << room;
    ASSERT_EQ(length, room / 512 * 512) << room;
  }
}

TEST(BulkInData, PayloadWrapsAtTheEndOfTheRing) {
  HandMadeDevice hand(64);
  const uint32_t capacity = hand.device.rx_capacity;
  ASSERT_EQ(capacity, 63488u);

  // 10 bytes before the end: 10 go to the end, 52 to the start.
  hand.EmptyAt(capacity - 10);
  const auto payload = Counting(62, 1);
  Feed(hand.device, Packet(0, 0, payload));
  EXPECT_EQ(RingAt(hand, capacity - 10, 10), std::vector<uint8_t>(payload.begin(), payload.begin() + 10));
  EXPECT_EQ(RingAt(hand, 0, 52), std::vector<uint8_t>(payload.begin() + 10, payload.end()));
  EXPECT_EQ(hand.device.rx_write_pos, 52u);
  EXPECT_EQ(hand.device.rx_free, capacity - 62);
  EXPECT_EQ(hand.storage[capacity], 0) << "nothing written past the ring's capacity";

  // A payload ending exactly at the end leaves the write position at 0.
  HandMadeDevice exact(64);
  exact.EmptyAt(capacity - 62);
  Feed(exact.device, Packet(0, 0, payload));
  EXPECT_EQ(exact.device.rx_write_pos, 0u);
  EXPECT_EQ(RingAt(exact, capacity - 62, 62), payload);

  // And the direct read of those bytes ends with the read position at 0.
  std::vector<uint8_t> out(62);
  uint32_t returned = 0;
  ASSERT_EQ(KX_Read(&exact.device, out.data(), 62, &returned), KX_OK);
  EXPECT_EQ(returned, 62u);
  EXPECT_EQ(out, payload);
  EXPECT_EQ(exact.device.rx_read_pos, 0u);
  EXPECT_EQ(exact.device.rx_free, capacity);
}

TEST(BulkInData, EventsRaiseOnlyFromAClearStatusWord) {
  HandMadeDevice hand(64);
  _EVENT_HANDLE event;
  pthread_mutex_init(&event.mutex, nullptr);
  pthread_cond_init(&event.cond, nullptr);
  ASSERT_EQ(KX_SetEventNotification(&hand.device, KX_EVENT_RX_DATA | KX_EVENT_MODEM_CHANGED, &event), KX_OK);

  Feed(hand.device, Packet(0x10, 0, {1, 2, 3}));  // data and a modem change in one packet
  EXPECT_EQ(hand.device.event_status.load(), KX_EVENT_RX_DATA) << "one packet raises one event";
  Feed(hand.device, Packet(0x30, 0, {}));  // modem change while data is pending
  EXPECT_EQ(hand.device.event_status.load(), KX_EVENT_RX_DATA);

  uint32_t events = 0;
  ASSERT_EQ(KX_GetEventStatus(&hand.device, &events), KX_OK);
  EXPECT_EQ(events, KX_EVENT_RX_DATA);
  Feed(hand.device, Packet(0xB0, 0, {}));
  EXPECT_EQ(hand.device.event_status.load(), KX_EVENT_MODEM_CHANGED);
  ASSERT_EQ(KX_GetEventStatus(&hand.device, &events), KX_OK);
  Feed(hand.device, Packet(0xBF, 0, {}));
  EXPECT_EQ(hand.device.event_status.load(), 0u) << "same upper nibble, top bit set: no change";

  pthread_cond_destroy(&event.cond);
  pthread_mutex_destroy(&event.mutex);
}

TEST(ReadDeadline, CarriesNanosecondsIntoSeconds) {
  timespec deadline = ReadDeadline(timeval{100, 999999}, 1999);
  EXPECT_EQ(deadline.tv_sec, 102);
  EXPECT_EQ(deadline.tv_nsec, 998999000L);
  deadline = ReadDeadline(timeval{100, 0}, 500);
  EXPECT_EQ(deadline.tv_sec, 100);
  EXPECT_EQ(deadline.tv_nsec, 500000000L);
  deadline = ReadDeadline(timeval{7, 500000}, 500);
  EXPECT_EQ(deadline.tv_sec, 8);
  EXPECT_EQ(deadline.tv_nsec, 0L);
  deadline = ReadDeadline(timeval{7, 1}, 3000);
  EXPECT_EQ(deadline.tv_sec, 10);
  EXPECT_EQ(deadline.tv_nsec, 1000L);
}

}  // namespace
