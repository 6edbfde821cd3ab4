// Event raising of the reader thread packet by packet, and a waiting read
// served straight from the transfer, on a hand-made record. Payload order,
// status stripping, ring wrap-around and transfer sizing are checked through
// the simulated chip in datapath_stream_test.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "bulk_in.h"
#include "device.h"
#include "read_wait.h"

namespace {

// A device record built by hand, 64-byte packets, with no USB behind it.
struct HandMadeDevice {
  norvec_device device;
  std::vector<uint8_t> storage = std::vector<uint8_t>(65536, 0);

  HandMadeDevice() {
    device.rx_buffer = storage.data();
    device.max_packet_size = 64;
    device.in_buffer_size = 65536;
    device.in_transfer_size = 4096;
    device.rx_free = device.rx_capacity = 65536 - 2 * 1024;
  }
  uint32_t Queued() const { return device.rx_capacity - device.rx_free; }
};

// n bytes counting up from first (wrapping at 256).
std::vector<uint8_t> Counting(size_t n, uint8_t first = 0) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

// One bulk-in packet (of at most the record's packet size): modem status, line status, payload.
struct Spec {
  uint8_t modem, line;
  std::vector<uint8_t> payload;
};

// Hands the reader one transfer made of these packets.
void Feed(norvec_device &device, const std::vector<Spec> &packets) {
  std::vector<uint8_t> raw;
  for (const Spec &p : packets) {
    raw.push_back(p.modem);
    raw.push_back(p.line);
    raw.insert(raw.end(), p.payload.begin(), p.payload.end());
  }
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

TEST(BulkInData, EventsRaiseOnlyFromAClearStatusWordPacketByPacket) {
  HandMadeDevice hand;
  ASSERT_EQ(KX_SetEventNotification(&hand.device, KX_EVENT_RX_DATA | KX_EVENT_MODEM_CHANGED, nullptr), KX_OK);
  Feed(hand.device, {{0x10, 0, {1, 2, 3}}});  // data and a modem change in one packet
  EXPECT_EQ(hand.device.event_status.load(), KX_EVENT_RX_DATA) << "one packet raises one event";
  Feed(hand.device, {{0x30, 0, {}}});  // modem change while data is pending
  EXPECT_EQ(hand.device.event_status.load(), KX_EVENT_RX_DATA);
  uint32_t events = 0;
  ASSERT_EQ(KX_GetEventStatus(&hand.device, &events), KX_OK);
  Feed(hand.device, {{0xB0, 0, {}}});
  EXPECT_EQ(hand.device.event_status.load(), KX_EVENT_MODEM_CHANGED);
  ASSERT_EQ(KX_GetEventStatus(&hand.device, &events), KX_OK);
  Feed(hand.device, {{0xBF, 0, {}}});
  EXPECT_EQ(hand.device.event_status.load(), 0u) << "same upper nibble, low bits set: no change";

  // Within one transfer the rules hold packet by packet.
  HandMadeDevice batch;
  // Modem changes only: the first packet's change raises; the later changes
  // of the same transfer find the word set and raise nothing more.
  ASSERT_EQ(KX_SetEventNotification(&batch.device, KX_EVENT_MODEM_CHANGED, nullptr), KX_OK);
  Feed(batch.device, {{0x10, 0, {}}});
  ASSERT_EQ(KX_GetEventStatus(&batch.device, &events), KX_OK);
  EXPECT_EQ(events, KX_EVENT_MODEM_CHANGED);
  Feed(batch.device, {{0x10, 0, Counting(62)}, {0x00, 0, Counting(62)}, {0x10, 0, Counting(5)}});
  ASSERT_EQ(KX_GetEventStatus(&batch.device, &events), KX_OK);
  EXPECT_EQ(events, KX_EVENT_MODEM_CHANGED) << "the change in the second packet is seen";
  EXPECT_EQ(batch.device.modem_status.load(), 0x10);

  // Both events: a change in the first packet together with its data raises
  // only the data event, and a change further on finds the word set.
  ASSERT_EQ(KX_SetEventNotification(&batch.device, KX_EVENT_RX_DATA | KX_EVENT_MODEM_CHANGED, nullptr),
            KX_OK);
  Feed(batch.device, {{0x80, 0, Counting(62)}, {0x90, 0x62, Counting(3)}});
  ASSERT_EQ(KX_GetEventStatus(&batch.device, &events), KX_OK);
  EXPECT_EQ(events, KX_EVENT_RX_DATA);
  EXPECT_EQ(batch.device.modem_status.load(), 0x90) << "the status of the transfer's last packet";
  EXPECT_EQ(batch.device.line_status.load(), 0x62);
}

TEST(BulkInTransfer, AWaitingReadOnAnEmptyRingIsServedFromTheTransfer) {
  HandMadeDevice hand;
  hand.device.rx_read_pos = hand.device.rx_write_pos = 1000;
  PendingRead read(hand.device, 100);
  const auto a = Counting(62, 1), b = Counting(62, 63);
  Feed(hand.device, {{0, 0, a}, {0, 0, b}});

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
  HandMadeDevice hand;
  Feed(hand.device, {{0, 0, Counting(10, 50)}});
  PendingRead read(hand.device, 200);
  // Queued bytes are older: the new payload goes behind them in the ring.
  Feed(hand.device, {{0, 0, Counting(20, 60)}});
  EXPECT_EQ(read.returned, 0u);
  EXPECT_EQ(hand.Queued(), 30u);

  // The reader's pass hands the ring over; from then on bytes go straight in.
  ProcessRead(&hand.device);
  EXPECT_EQ(read.returned, 30u);
  Feed(hand.device, {{0, 0, Counting(62, 80)}});
  EXPECT_EQ(read.returned, 92u);
  EXPECT_FALSE(read.waiter.finished);
  EXPECT_EQ(hand.device.read_pending, 1u);
  EXPECT_EQ(hand.Queued(), 0u);
  EXPECT_EQ(std::vector<uint8_t>(read.buffer.begin(), read.buffer.begin() + 92), Counting(92, 50));
  CancelReadRequest(&hand.device);
}

TEST(BulkInTransfer, DataHandedStraightToAReadLeavesNoDataEventPending) {
  HandMadeDevice hand;
  ASSERT_EQ(KX_SetEventNotification(&hand.device, KX_EVENT_RX_DATA, nullptr), KX_OK);
  {
    PendingRead read(hand.device, 62);
    Feed(hand.device, {{0, 0, Counting(62)}});
    EXPECT_TRUE(read.waiter.finished);
  }
  EXPECT_EQ(hand.device.event_status.load(), 0u) << "as a read that empties the ring clears it";

  // Bytes left over in the ring keep the event.
  {
    PendingRead read(hand.device, 10);
    Feed(hand.device, {{0, 0, Counting(62)}});
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
