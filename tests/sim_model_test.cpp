// What the simulated chip does that the library's own tests never reach:
// bus pacing stepped at chosen instants (no sleeping, no dependence on
// machine speed), which waiters bulk OUT and unplug wake, scan counts,
// chip descriptions, requests the library never sends, and chips that lack
// a feature. Framing, claims, strings, faults and the words the library
// sends are proven by the library's tests through the same simulator.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <thread>

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

int Out(usb_dev_handle *h, int request, int value, int index) {
  return usb_control_msg(h, 0x40, request, value, index, nullptr, 0, 1000);
}

int In(usb_dev_handle *h, int request, int index, unsigned char *reply, int length) {
  return usb_control_msg(h, 0xC0, request, 0, index, reinterpret_cast<char *>(reply), length, 1000);
}

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

// An empty queue answers a status packet once the latency timer runs out;
// 0 ms behaves as 1 ms rather than spinning.
TEST_F(SimWakeUps, EmptyQueueAnswersAStatusPacketWhenTheLatencyTimerRunsOut) {
  int chip = AddChip(Chip());
  UsbHandle h = OpenNth(0);
  vexa_sim_set_status(chip, 0, 0x10, 0x02);
  for (int latency : {2, 0}) {
    ASSERT_EQ(Out(h.get(), 9, latency, 1), 0);
    unsigned char buf[64];
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(usb_bulk_read(h.get(), 0x81, reinterpret_cast<char *>(buf), sizeof buf, 0), 2);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(latency ? latency : 1));
    EXPECT_EQ(std::vector<int>({buf[0], buf[1]}), std::vector<int>({0x11, 0x02})) << "the chip's low bit set";
  }
}

class SimChipTest : public SimTest {};

// The library only ever calls usb_find_* for their errors; programs run
// under the simulator may count on the number of changes.
TEST_F(SimChipTest, ScansCountChangesAndTheBusListAppearsWithTheFirstScan) {
  AddChip(Chip());
  usb_init();
  EXPECT_EQ(usb_find_devices(), 0) << "no bus known yet, so nothing to scan";
  EXPECT_EQ(usb_find_busses(), 1);
  EXPECT_EQ(usb_find_busses(), 0);
  ASSERT_NE(usb_busses, nullptr);
  EXPECT_STREQ(usb_busses->dirname, "001");
  EXPECT_EQ(usb_find_devices(), 1);
  EXPECT_EQ(usb_find_devices(), 0);
  AddChip(Chip());
  AddChip(Chip());
  vexa_sim_unplug(0);
  EXPECT_EQ(usb_find_devices(), 3) << "one removed, two added";
  vexa_sim_reset();
  EXPECT_EQ(usb_busses, nullptr);
}

// The launcher's tests run described chips; here what is refused, and how
// the environment and the API rank.
TEST_F(SimChipTest, TextDescriptionsAddChipsOrNothingAndTheEnvironmentIsReadOnce) {
  EXPECT_EQ(vexa_sim_add_chips_from_text("r2;single,vid=0x1111,pid=4660,packet=512,eeprom=0"), 2);
  for (const char *bad : {"r4,colour=blue", "r4;quad", "r4,eeprom=100"})
    EXPECT_EQ(vexa_sim_add_chips_from_text(bad), -1) << bad;
  auto devices = Rescan();
  ASSERT_EQ(devices.size(), 2u) << "a bad chip spoils the whole text";
  EXPECT_EQ(std::vector<int>({devices[1]->descriptor.idVendor, devices[1]->descriptor.idProduct,
                              devices[1]->config[0].interface[0].altsetting[0].endpoint[0].wMaxPacketSize}),
            std::vector<int>({0x1111, 0x1234, 512}));

  vexa_sim_reset();
  setenv("VEXA_SIM_CHIPS", "r4,serial=ENV1;dual", 1);
  usb_init();
  usb_init();
  unsetenv("VEXA_SIM_CHIPS");
  EXPECT_EQ(Rescan().size(), 2u) << "read only once";
  vexa_sim_reset();
  AddChip(Chip());
  setenv("VEXA_SIM_CHIPS", "r4", 1);
  usb_init();
  unsetenv("VEXA_SIM_CHIPS");
  EXPECT_EQ(Rescan().size(), 1u) << "chips added through the API take precedence";
}

// Requests the library does not send, or refuses itself before sending.
TEST_F(SimChipTest, OnlyRequestsTheChipKnowsAreAnswered) {
  AddChip(Chip(2));
  UsbHandle h = OpenNth(0);
  const struct {
    const char *what;
    int type, request, value, index, length;
  } rows[] = {
      {"a descriptor the device lacks", 0x80, 6, 0x0F00, 1, 18},
      {"class request", 0xA1, 1, 0, 1, 2},
      {"vendor request to the interface", 0x41, 1, 0x0101, 1, 0},
      {"unknown vendor request", 0x40, 0x20, 0, 1, 0},
      {"a reading request sent as OUT", 0x40, 5, 0, 1, 0},
      {"a setting request sent as IN", 0xC0, 4, 0, 1, 2},
      {"no port 3 on a two-channel chip", 0x40, 4, 8, 3, 0},
      {"no purge code 7", 0x40, 0, 7, 1, 0},
  };
  for (const auto &row : rows) {
    char reply[18] = {};
    EXPECT_EQ(usb_control_msg(h.get(), row.type, row.request, row.value, row.index, row.length ? reply : nullptr,
                              row.length, 100),
              -EPIPE)
        << row.what;
  }
}

TEST_F(SimChipTest, TimerAndBitModeRequestsOnlyOnCapableChips) {
  const struct {
    uint16_t bcd;
    const char *serial;
    bool answers;
  } cases[] = {{0x0500, "S", true}, {0x0400, "S", true}, {0x0200, nullptr, true},
               {0x0200, "S", false}, {0x0600, nullptr, false}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "bcd " << std::hex << c.bcd << (c.serial ? " with" : " without") << " serial");
    vexa_sim_reset();
    vexa_sim_chip_config config = Chip(1, 64, 64, c.serial);
    config.bcd_device = c.bcd;
    int chip = AddChip(config);
    UsbHandle h = OpenNth(0);
    unsigned char reply[1];
    int expect_out = c.answers ? 0 : -EPIPE, expect_in = c.answers ? 1 : -EPIPE;
    EXPECT_EQ(Out(h.get(), 9, 0x0104, 1), expect_out);  // the timer takes the low byte
    EXPECT_EQ(In(h.get(), 10, 1, reply, 1), expect_in);
    EXPECT_EQ(Out(h.get(), 11, 0x0101, 1), expect_out);
    EXPECT_EQ(In(h.get(), 12, 1, reply, 1), expect_in);
    EXPECT_EQ(State(chip, 0).latency_timer, c.answers ? 4 : 16);
  }
}

// Purges empty only their channel's queue (the library's tests count them);
// port 0 means A; a chip without a part reads zeros and loses writes.
TEST_F(SimChipTest, PurgeQueuesPortZeroAndAMissingEeprom) {
  int chip = AddChip(Chip(2));
  int none = AddChip(Chip(1, 64, 0));
  UsbHandle h = OpenNth(0), n = OpenNth(1);
  vexa_sim_queue_rx(chip, 0, "aaaa", 4);
  vexa_sim_queue_rx(chip, 1, "bbbb", 4);
  EXPECT_EQ(Out(h.get(), 0, 1, 2), 0);  // receive purge of B
  EXPECT_EQ(Out(h.get(), 0, 2, 1), 0);  // transmit purge of A
  EXPECT_EQ(std::vector<size_t>({vexa_sim_rx_pending(chip, 0), vexa_sim_rx_pending(chip, 1)}),
            std::vector<size_t>({4, 0}));
  EXPECT_EQ(Out(h.get(), 0, 0, 0), 0);
  EXPECT_EQ(vexa_sim_rx_pending(chip, 0), 0u) << "reset of the whole chip";
  EXPECT_EQ(Out(h.get(), 1, 0x0303, 0), 0);
  EXPECT_EQ(State(chip, 0).dtr + State(chip, 0).rts, 2) << "port 0 is A";

  EXPECT_EQ(Out(n.get(), 0x91, 0x5555, 1), 0);
  unsigned char reply[2] = {0xEE, 0xEE};
  EXPECT_EQ(In(n.get(), 0x90, 1, reply, 2), 2);
  EXPECT_EQ(reply[0] | reply[1] << 8, 0x0000);
  uint16_t word = 0xEEEE;
  EXPECT_EQ(vexa_sim_eeprom_get(none, 1, &word), 0);
  EXPECT_EQ(word, 0x0000) << "the write vanished";
}

}  // namespace
