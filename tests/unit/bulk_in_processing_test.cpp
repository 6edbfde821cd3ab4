// Packet handling, ring arithmetic, transfer sizing and event raising of the
// reader thread, on a hand-made record: payload of every packet of a transfer
// in order, status and events packet by packet, and a waiting read served
// straight from the transfer.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "bulk_in.h"
#include "device.h"
#include "read_wait.h"
#include "transfer_size.h"

namespace {

// A device record built by hand, with no USB behind it.
struct HandMadeDevice {
  norvec_device device;
  std::vector<uint8_t> storage = std::vector<uint8_t>(65536, 0);

  explicit HandMadeDevice(uint32_t packet = 64) {
    device.rx_buffer = storage.data();
    device.max_packet_size = packet;
    device.in_buffer_size = 65536;
    device.in_transfer_size = 4096;
    device.rx_capacity = 65536 - 2 * (65536 / packet);
    device.rx_free = device.rx_capacity;
  }
  HandMadeDevice(const HandMadeDevice &) = delete;
  HandMadeDevice &operator=(const HandMadeDevice &) = delete;

  // Places the ring's both positions at pos, empty.
  void EmptyAt(uint32_t pos) {
    device.rx_read_pos = pos;
    device.rx_write_pos = pos;
    device.rx_free = device.rx_capacity;
  }
  uint32_t Queued() const { return device.rx_capacity - device.rx_free; }
};

// One bulk-in packet: modem status, line status, payload.
std::vector<uint8_t> Packet(uint8_t modem, uint8_t line, const std::vector<uint8_t> &payload) {
  std::vector<uint8_t> packet{modem, line};
  packet.insert(packet.end(), payload.begin(), payload.end());
  return packet;
}

// n bytes counting up from first (wrapping at 256).
std::vector<uint8_t> Counting(size_t n, uint8_t first = 0) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}


void Feed(norvec_device &device, std::vector<uint8_t> raw) {
  ProcessBulkInData(&device, raw.data(), static_cast<int>(raw.size()));
}

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

std::vector<uint8_t> RingAt(const HandMadeDevice &hand, uint32_t pos, size_t n) {
  return std::vector<uint8_t>(hand.storage.begin() + pos, hand.storage.begin() + pos + n);
}

TEST(TransferSizing, PayloadPerTransferAndLengthInWholePackets) {
  const struct {
    uint32_t packet, size, payload;
  } rows[] = {{64, 4096, 3968}, {64, 65536, 63488}, {64, 64, 62}, {512, 4096, 4080}, {512, 65536, 65280}};
  for (const auto &row : rows) {
    HandMadeDevice hand(row.packet);
    EXPECT_EQ(GetBytesPerTransfer(row.size, &hand.device), row.payload) << row.packet << "/" << row.size;
  }
  // 4096-byte transfers carry 3968 payload bytes on 64-byte packets, 4080 on 512.
  const struct {
    uint32_t room, packet, length;
  } lengths[] = {{0, 64, 0},       {1, 64, 64},       {100, 64, 64},    {1000, 64, 960},  {3968, 64, 4096},
              {63488, 64, 4096}, {300, 512, 512},  {4079, 512, 3584}, {4080, 512, 4096}};
  for (const auto &row : lengths) {
    const uint32_t payload = row.packet == 64 ? 3968 : 4080;
    EXPECT_EQ(InTransferLength(row.room, row.packet, 4096, payload), row.length) << row.room << "/" << row.packet;
  }
}

TEST(BulkInData, PayloadWrapsAtTheEndOfTheRing) {
  HandMadeDevice hand(64);
  const uint32_t capacity = hand.device.rx_capacity;
  const auto payload = Counting(62, 1);
  // 10 bytes before the end: 10 go to the end, 52 to the start.
  hand.EmptyAt(capacity - 10);
  Feed(hand.device, Packet(0, 0, payload));
  EXPECT_EQ(RingAt(hand, capacity - 10, 10), std::vector<uint8_t>(payload.begin(), payload.begin() + 10));
  EXPECT_EQ(RingAt(hand, 0, 52), std::vector<uint8_t>(payload.begin() + 10, payload.end()));
  EXPECT_EQ(hand.device.rx_write_pos, 52u);
  EXPECT_EQ(hand.device.rx_free, capacity - 62);
  EXPECT_EQ(hand.storage[capacity], 0) << "nothing written past the ring's capacity";

  // A payload ending exactly at the end leaves the write position at 0, and
  // reading those bytes leaves the read position at 0.
  HandMadeDevice exact(64);
  exact.EmptyAt(capacity - 62);
  Feed(exact.device, Packet(0, 0, payload));
  EXPECT_EQ(exact.device.rx_write_pos, 0u);
  std::vector<uint8_t> out(62);
  uint32_t returned = 0;
  ASSERT_EQ(KX_Read(&exact.device, out.data(), 62, &returned), KX_OK);
  EXPECT_EQ(returned, 62u);
  EXPECT_EQ(out, payload);
  EXPECT_EQ(exact.device.rx_read_pos, 0u);
  EXPECT_EQ(exact.device.rx_free, capacity);
}

TEST(BulkInData, EventsRaiseOnlyFromAClearStatusWordPacketByPacket) {
  HandMadeDevice hand(64);
  ASSERT_EQ(KX_SetEventNotification(&hand.device, KX_EVENT_RX_DATA | KX_EVENT_MODEM_CHANGED, nullptr), KX_OK);
  Feed(hand.device, Packet(0x10, 0, {1, 2, 3}));  // data and a modem change in one packet
  EXPECT_EQ(hand.device.event_status.load(), KX_EVENT_RX_DATA) << "one packet raises one event";
  Feed(hand.device, Packet(0x30, 0, {}));  // modem change while data is pending
  EXPECT_EQ(hand.device.event_status.load(), KX_EVENT_RX_DATA);
  uint32_t events = 0;
  ASSERT_EQ(KX_GetEventStatus(&hand.device, &events), KX_OK);
  Feed(hand.device, Packet(0xB0, 0, {}));
  EXPECT_EQ(hand.device.event_status.load(), KX_EVENT_MODEM_CHANGED);
  ASSERT_EQ(KX_GetEventStatus(&hand.device, &events), KX_OK);
  Feed(hand.device, Packet(0xBF, 0, {}));
  EXPECT_EQ(hand.device.event_status.load(), 0u) << "same upper nibble, low bits set: no change";

  // Within one transfer the rules hold packet by packet.
  HandMadeDevice batch(64);
  // Modem changes only: the first packet's change raises; the later changes
  // of the same transfer find the word set and raise nothing more.
  ASSERT_EQ(KX_SetEventNotification(&batch.device, KX_EVENT_MODEM_CHANGED, nullptr), KX_OK);
  Feed(batch.device, Transfer({{0x10, 0, {}}}));
  ASSERT_EQ(KX_GetEventStatus(&batch.device, &events), KX_OK);
  EXPECT_EQ(events, KX_EVENT_MODEM_CHANGED);
  Feed(batch.device, Transfer({{0x10, 0, Counting(62)}, {0x00, 0, Counting(62)}, {0x10, 0, Counting(5)}}));
  ASSERT_EQ(KX_GetEventStatus(&batch.device, &events), KX_OK);
  EXPECT_EQ(events, KX_EVENT_MODEM_CHANGED) << "the change in the second packet is seen";
  EXPECT_EQ(batch.device.modem_status.load(), 0x10);

  // Both events: a change in the first packet together with its data raises
  // only the data event, and a change further on finds the word set.
  ASSERT_EQ(KX_SetEventNotification(&batch.device, KX_EVENT_RX_DATA | KX_EVENT_MODEM_CHANGED, nullptr),
            KX_OK);
  Feed(batch.device, Transfer({{0x80, 0, Counting(62)}, {0x90, 0, Counting(3)}}));
  ASSERT_EQ(KX_GetEventStatus(&batch.device, &events), KX_OK);
  EXPECT_EQ(events, KX_EVENT_RX_DATA);
}

TEST(BulkInTransfer, PayloadOfEveryPacketInOrderAndStatusOfTheLastPacket) {
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

TEST(BulkInTransfer, AWaitingReadOnAnEmptyRingIsServedFromTheTransfer) {
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

TEST(BulkInTransfer, BytesAlreadyQueuedGoFirstAndAPartialDeliveryKeepsWaiting) {
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

TEST(BulkInTransfer, DataHandedStraightToAReadLeavesNoDataEventPending) {
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

TEST(Deadline, CarriesNanosecondsIntoSeconds) {
  const struct {
    timespec now;
    uint32_t ms;
    long sec, nsec;
  } rows[] = {{{100, 999999000L}, 1999, 102, 998999000L}, {{100, 0}, 500, 100, 500000000L},
              {{7, 500000000L}, 500, 8, 0L},             {{7, 1000}, 3000, 10, 1000L}};
  for (const auto &row : rows) {
    const timespec deadline = DeadlineAfter(row.now, row.ms);
    EXPECT_EQ(deadline.tv_sec, row.sec) << row.now.tv_sec << "." << row.now.tv_nsec << " + " << row.ms;
    EXPECT_EQ(deadline.tv_nsec, row.nsec);
  }
}

}  // namespace
