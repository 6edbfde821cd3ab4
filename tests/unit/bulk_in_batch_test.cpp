// A whole transfer handled at once by the reader thread: payload of every
// packet in order, status and events still packet by packet, and a waiting
// read served straight from the transfer.
#include <gtest/gtest.h>

#include <vector>

#include "bulk_in.h"
#include "hand_made_device.h"
#include "read_wait.h"

namespace {

// Packets of the record's packet size, one per entry: {modem, line, payload}.
struct Spec {
  uint8_t modem;
  uint8_t line;
  std::vector<uint8_t> payload;
};

std::vector<uint8_t> Transfer(const std::vector<Spec> &packets) {
  std::vector<uint8_t> raw;
  for (const Spec &p : packets) {
    const auto packet = Packet(p.modem, p.line, p.payload);
    raw.insert(raw.end(), packet.begin(), packet.end());
  }
  return raw;
}

void Feed(norvec_device &device, std::vector<uint8_t> raw) {
  ProcessBulkInData(&device, raw.data(), static_cast<int>(raw.size()));
}

std::vector<uint8_t> Drain(norvec_device &device) {
  std::vector<uint8_t> out(device.rx_capacity - device.rx_free);
  uint32_t got = 0;
  if (!out.empty()) {
    EXPECT_EQ(KX_Read(&device, out.data(), static_cast<uint32_t>(out.size()), &got), KX_OK);
  }
  return out;
}

// A read request left in the slot as a waiting KX_Read leaves it.
struct PendingRead {
  ReadWaiter waiter;
  std::vector<uint8_t> buffer;
  uint32_t returned = 0;

  PendingRead(norvec_device &device, uint32_t n) : buffer(n) {
    RequestReadData(&device, &waiter, static_cast<int>(n), buffer.data(), &returned);
  }
};

TEST(BulkInBatch, PayloadOfEveryPacketInOrderAndStatusOfTheLastPacket) {
  HandMadeDevice hand(64);
  const auto a = Counting(62, 0), b = Counting(62, 100), c = Counting(7, 200);
  Feed(hand.device, Transfer({{0x10, 0x01, a}, {0x30, 0x60, b}, {0x40, 0x62, c}}));
  std::vector<uint8_t> expected = a;
  expected.insert(expected.end(), b.begin(), b.end());
  expected.insert(expected.end(), c.begin(), c.end());
  EXPECT_EQ(hand.Queued(), expected.size());
  EXPECT_EQ(hand.device.modem_status.load(), 0x40);
  EXPECT_EQ(hand.device.line_status.load(), 0x62);
  EXPECT_EQ(Drain(hand.device), expected);
}

TEST(BulkInBatch, EventRulesHoldPacketByPacketWithinATransfer) {
  HandMadeDevice hand(64);
  // Modem changes only: the first packet's change raises; the later changes
  // of the same transfer find the word set and raise nothing more.
  ASSERT_EQ(KX_SetEventNotification(&hand.device, KX_EVENT_MODEM_CHANGED, nullptr), KX_OK);
  Feed(hand.device, Transfer({{0x10, 0, {}}}));
  uint32_t events = 0;
  ASSERT_EQ(KX_GetEventStatus(&hand.device, &events), KX_OK);
  EXPECT_EQ(events, KX_EVENT_MODEM_CHANGED);
  Feed(hand.device, Transfer({{0x10, 0, Counting(62)}, {0x00, 0, Counting(62)}, {0x10, 0, Counting(5)}}));
  ASSERT_EQ(KX_GetEventStatus(&hand.device, &events), KX_OK);
  EXPECT_EQ(events, KX_EVENT_MODEM_CHANGED) << "the change in the second packet is seen";
  EXPECT_EQ(hand.device.modem_status.load(), 0x10);

  // Both events: a change in the first packet together with its data raises
  // only the data event, and a change further on finds the word set.
  ASSERT_EQ(KX_SetEventNotification(&hand.device, KX_EVENT_RX_DATA | KX_EVENT_MODEM_CHANGED, nullptr),
            KX_OK);
  Feed(hand.device, Transfer({{0x80, 0, Counting(62)}, {0x90, 0, Counting(3)}}));
  ASSERT_EQ(KX_GetEventStatus(&hand.device, &events), KX_OK);
  EXPECT_EQ(events, KX_EVENT_RX_DATA);

}

TEST(BulkInBatch, AWaitingReadOnAnEmptyRingIsServedFromTheTransfer) {
  HandMadeDevice hand(64);
  hand.EmptyAt(1000);
  PendingRead read(hand.device, 100);
  const auto a = Counting(62, 1), b = Counting(62, 63);
  Feed(hand.device, Transfer({{0, 0, a}, {0, 0, b}}));

  std::vector<uint8_t> stream = a;
  stream.insert(stream.end(), b.begin(), b.end());
  EXPECT_EQ(read.returned, 100u);
  EXPECT_EQ(read.buffer, std::vector<uint8_t>(stream.begin(), stream.begin() + 100));
  EXPECT_TRUE(read.waiter.finished) << "completed in the pass that brought the bytes";
  EXPECT_EQ(hand.device.read_pending, 0u);
  // The rest waits in the ring, where the ring's write position was.
  EXPECT_EQ(hand.Queued(), 24u);
  EXPECT_EQ(hand.device.rx_read_pos, 1000u);
  EXPECT_EQ(Drain(hand.device), std::vector<uint8_t>(stream.begin() + 100, stream.end()));
}

TEST(BulkInBatch, BytesAlreadyQueuedGoFirstAndAPartialDeliveryKeepsWaiting) {
  HandMadeDevice hand(64);
  Feed(hand.device, Transfer({{0, 0, Counting(10, 50)}}));
  PendingRead read(hand.device, 200);
  // Queued bytes are older: the new payload goes behind them in the ring.
  Feed(hand.device, Transfer({{0, 0, Counting(20, 60)}}));
  EXPECT_EQ(read.returned, 0u);
  EXPECT_EQ(hand.Queued(), 30u);

  // The reader's pass hands the ring over; from then on bytes go straight in.
  ProcessRead(&hand.device);
  EXPECT_EQ(read.returned, 30u);
  Feed(hand.device, Transfer({{0, 0, Counting(62, 80)}}));
  EXPECT_EQ(read.returned, 92u);
  EXPECT_FALSE(read.waiter.finished);
  EXPECT_EQ(hand.device.read_pending, 1u);
  EXPECT_EQ(hand.Queued(), 0u);
  EXPECT_EQ(std::vector<uint8_t>(read.buffer.begin(), read.buffer.begin() + 92), Counting(92, 50));
  CancelReadRequest(&hand.device);
}

TEST(BulkInBatch, DataHandedStraightToAReadLeavesNoDataEventPending) {
  HandMadeDevice hand(64);
  ASSERT_EQ(KX_SetEventNotification(&hand.device, KX_EVENT_RX_DATA, nullptr), KX_OK);
  {
    PendingRead read(hand.device, 62);
    Feed(hand.device, Transfer({{0, 0, Counting(62)}}));
    EXPECT_TRUE(read.waiter.finished);
  }
  EXPECT_EQ(hand.device.event_status.load(), 0u) << "as a read that empties the ring clears it";

  // Bytes left over in the ring keep the event.
  {
    PendingRead read(hand.device, 10);
    Feed(hand.device, Transfer({{0, 0, Counting(62)}}));
    EXPECT_TRUE(read.waiter.finished);
  }
  EXPECT_EQ(hand.device.event_status.load(), KX_EVENT_RX_DATA);
  EXPECT_EQ(hand.Queued(), 52u);
}

}  // namespace
