// What the simulated chip does that the library's own tests never reach:
// bus pacing stepped at chosen instants (no sleeping, no dependence on
// machine speed), and requests the library never sends.
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

Clock::time_point Frame(int64_t f) { return Clock::time_point(std::chrono::milliseconds(f)); }

// One step of `transfer` at `now`; returns whether it ended.
bool Step(vexa_sim::Chip &chip, BulkIn &transfer, Clock::time_point now, int *result,
          std::optional<Clock::time_point> *wake) {
  std::vector<uint8_t> buffer(static_cast<size_t>(transfer.size));
  std::lock_guard<std::mutex> lock(vexa_sim::sim().mutex);
  return vexa_sim::bulk_in_step(chip, transfer, buffer.data(), now, false, result, wake);
}

TEST(SimPacing, ATransferSleepsUntilTheFrameItCanEndInAndIsOwedEveryFrameItWaited) {
  // A full-speed paced chip made straight from the model, 100 packets queued.
  const auto chip = vexa_sim::make_chip(vexa_sim_chip_config{});
  vexa_sim::Channel &channel = chip->channels[0];
  channel.pacing = 1;
  const std::vector<uint8_t> payload(62 * 100, 0x5A);
  channel.rx.append(payload.data(), payload.size());
  BulkIn transfer, next;
  transfer.size = 40 * kPacket;
  next.size = 80 * kPacket;
  int result = 0;
  std::optional<Clock::time_point> wake;

  // Frame 1000 carries 19 packets; the 40th packet falls in frame 1002, so
  // that is the one wake-up asked for, not one per frame.
  EXPECT_FALSE(Step(*chip, transfer, Frame(1000) + std::chrono::microseconds(300), &result, &wake));
  EXPECT_EQ(transfer.got, kPerFrame * kPacket);
  ASSERT_TRUE(wake.has_value());
  EXPECT_EQ(*wake, Frame(1002));

  // Woken far too late: the frames that began meanwhile still carried the
  // packets, as a host controller keeps polling while the host sleeps.
  EXPECT_TRUE(Step(*chip, transfer, Frame(1007), &result, &wake));
  EXPECT_EQ(result, 40 * kPacket);
  EXPECT_EQ(channel.rx.size(), static_cast<size_t>(62 * 60));

  // Frames that passed with no transfer pending carried nothing: a transfer
  // started in frame 1010 gets that frame's packets only.
  EXPECT_FALSE(Step(*chip, next, Frame(1010), &result, &wake));
  EXPECT_EQ(next.got, kPerFrame * kPacket);
  // The 41 payload packets left and the short packet after them end it: 42
  // packets from the first slot of frame 1011, the last in frame 1013.
  ASSERT_TRUE(wake.has_value());
  EXPECT_EQ(*wake, Frame(1013));
}

using SimChipTest = SimTest;

// Requests the library does not send, or refuses itself before sending.
TEST_F(SimChipTest, OnlyRequestsTheChipKnowsAreAnswered) {
  AddDual("S1", "Dual");
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
    const int result = usb_control_msg(h, row.type, row.request, row.value, row.index,
                                       row.length ? reply : nullptr, row.length, 100);
    EXPECT_EQ(result, -EPIPE) << row.what;
  }
  usb_close(h);
}

}  // namespace
