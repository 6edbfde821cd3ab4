// What the simulated chip does that the library's own tests never reach:
// bus pacing stepped at chosen instants (no sleeping, no dependence on
// machine speed), chip descriptions, and requests the library never sends.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>

#include <usb.h>

#include "sim_fixture.h"
#include "sim_model.h"

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

class SimChipTest : public SimTest {};

// Requests the library does not send, or refuses itself before sending.
TEST_F(SimChipTest, OnlyRequestsTheChipKnowsAreAnswered) {
  vexa_sim_chip_config config = {};
  config.interfaces = 2;
  AddChip(config);
  usb_find_busses();
  usb_find_devices();
  usb_dev_handle *h = usb_open(usb_get_busses()->devices);
  ASSERT_NE(h, nullptr);
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
    EXPECT_EQ(usb_control_msg(h, row.type, row.request, row.value, row.index, row.length ? reply : nullptr,
                              row.length, 100),
              -EPIPE)
        << row.what;
  }
  usb_close(h);
}

}  // namespace
