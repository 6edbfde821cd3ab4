// The pollable descriptor of a handle through the simulated chip: when it is
// readable and that closing releases it. That it is never readable over an
// empty ring nor misses a wake-up while bytes stream is checked in
// datapath_stream_test.
#include <dirent.h>

#include <chrono>
#include <thread>

#include "sim_fixture.h"

namespace {

// Long enough for the simulated chip to send several packets, so that a
// descriptor that wrongly became readable would have done so.
constexpr int kSettleMs = 60;
constexpr int kWakeMs = 2000;

int OpenDescriptors() {
  int count = 0;
  DIR *dir = opendir("/proc/self/fd");
  while (dirent *entry = readdir(dir)) count += entry->d_name[0] != '.';
  closedir(dir);
  return count;
}

int Fd(KX_HANDLE handle) {
  int fd = -1;
  EXPECT_EQ(vexa_get_event_fd(handle, &fd), KX_OK);
  return fd;
}

class EventFdTest : public OpenChipTest {
 protected:
  void SetUp() override {
    OpenChipTest::SetUp();
    fd_ = Fd(handle_);
    ASSERT_GE(fd_, 0);
  }
  int fd_ = -1;
};

TEST_F(EventFdTest, FollowsTheRingThroughPartialReadFullReadAndPurge) {
  EXPECT_FALSE(Readable(fd_, kSettleMs)) << "idle status packets carry no bytes";
  const std::vector<uint8_t> sent = Pattern(100);
  vexa_sim_queue_rx(chip_, 0, sent.data(), sent.size());
  ASSERT_TRUE(Readable(fd_, kWakeMs));
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == 100; }));

  std::vector<uint8_t> got = ReadExactly(handle_, 40);
  EXPECT_TRUE(Readable(fd_, 0)) << "60 bytes remain";
  const std::vector<uint8_t> rest = ReadExactly(handle_, 60);
  got.insert(got.end(), rest.begin(), rest.end());
  EXPECT_EQ(got, sent);
  EXPECT_FALSE(Readable(fd_, 0)) << "the read emptied the ring";

  ASSERT_TRUE(Deliver(chip_, 0, Pattern(30, 2)));
  ASSERT_TRUE(Readable(fd_, kWakeMs));
  ASSERT_EQ(KX_Purge(handle_, KX_PURGE_RX), KX_OK);
  EXPECT_FALSE(Readable(fd_, 0)) << "the purge emptied the ring";
  EXPECT_FALSE(Readable(fd_, kSettleMs));
}

TEST_F(EventFdTest, StatusChangesStayReadableUntilTheModemStatusIsRead) {
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
      EXPECT_FALSE(Readable(fd_, kSettleMs));
      continue;
    }
    ASSERT_TRUE(Readable(fd_, kWakeMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
    EXPECT_TRUE(Readable(fd_, 0)) << "level-triggered: stays readable until read";
    ASSERT_EQ(KX_GetModemStatus(handle_, &modem), KX_OK);
    EXPECT_EQ(modem, step.modem);
    EXPECT_FALSE(Readable(fd_, 0));
  }

  // Both conditions: reading the status leaves the bytes to wake for.
  ASSERT_EQ(vexa_sim_set_status(chip_, 0, 0x10, 0x00), 0);
  ASSERT_TRUE(Deliver(chip_, 0, Pattern(10)));
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == 10; }));
  ASSERT_EQ(KX_GetModemStatus(handle_, &modem), KX_OK);
  EXPECT_TRUE(Readable(fd_, 0));
  ReadExactly(handle_, 10);
  EXPECT_FALSE(Readable(fd_, 0));
}

// A handle has one descriptor, which starts readable when bytes or a status
// change were there before it was asked for.
TEST_F(EventFdTest, OneDescriptorPerHandleStartingFromTheCurrentState) {
  EXPECT_EQ(Fd(handle_), fd_);
  int fd = -1;
  EXPECT_EQ(vexa_get_event_fd(nullptr, &fd), KX_ERR_PARAMETER);
  EXPECT_EQ(vexa_get_event_fd(handle_, nullptr), KX_ERR_PARAMETER);

  const int dual = AddDual("FD2", "Late", 64);
  uint32_t count = 0;
  ASSERT_EQ(KX_ListDevices(&count, nullptr, KX_LIST_COUNT), KX_OK);  // the opens then see it
  KX_HANDLE with_bytes = Open(1), with_change = Open(2);
  ASSERT_TRUE(Deliver(dual, 0, Pattern(5)));
  ASSERT_EQ(vexa_sim_set_status(dual, 1, 0x90, 0x00), 0);
  // The status bytes go ahead of these: once they are queued, the change was seen.
  ASSERT_TRUE(Deliver(dual, 1, Pattern(1)));
  ASSERT_TRUE(Eventually([&] { return Queued(with_bytes) == 5 && Queued(with_change) == 1; }));
  ReadExactly(with_change, 1);

  const int fd_bytes = Fd(with_bytes), fd_change = Fd(with_change);
  EXPECT_NE(fd_bytes, fd_);
  EXPECT_TRUE(Readable(fd_bytes, 0));
  EXPECT_TRUE(Readable(fd_change, 0));
  ReadExactly(with_bytes, 5);
  EXPECT_FALSE(Readable(fd_bytes, 0));
  unsigned long modem = 0;
  ASSERT_EQ(KX_GetModemStatus(with_change, &modem), KX_OK);
  EXPECT_EQ(modem, 0x90u);
  EXPECT_FALSE(Readable(fd_change, 0));
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
