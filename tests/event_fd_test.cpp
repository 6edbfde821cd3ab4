// The pollable descriptor of a handle through the simulated chip: when it is
// readable, in a poll and an epoll loop, and that closing releases it.
#include <dirent.h>
#include <poll.h>
#include <sys/epoll.h>

#include <chrono>
#include <map>
#include <thread>

#include "sim_fixture.h"

namespace {

bool Readable(int fd, int timeout_ms) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1 && (p.revents & POLLIN);
}

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

class EventFdTest : public OpenChipTest {
 protected:
  void SetUp() override {
    OpenChipTest::SetUp();
    ASSERT_EQ(vexa_get_event_fd(handle_, &fd_), KX_OK);
    ASSERT_GE(fd_, 0);
  }
  // Lets the open calls see chips added after the first open.
  static void Rescan() {
    uint32_t count = 0;
    ASSERT_EQ(KX_ListDevices(&count, nullptr, KX_LIST_COUNT), KX_OK);
  }
  static std::vector<uint8_t> Read(KX_HANDLE handle, uint32_t n) {
    std::vector<uint8_t> bytes(n);
    uint32_t got = 0;
    EXPECT_EQ(KX_Read(handle, bytes.data(), n, &got), KX_OK);
    EXPECT_EQ(got, n);
    return bytes;
  }
  int fd_ = -1;
};

TEST_F(EventFdTest, FollowsTheRingThroughPartialReadFullReadAndPurge) {
  EXPECT_FALSE(Readable(fd_, kSettleMs)) << "idle status packets carry no bytes";
  const std::vector<uint8_t> sent = Pattern(100);
  vexa_sim_queue_rx(chip_, 0, sent.data(), sent.size());
  ASSERT_TRUE(Readable(fd_, kWakeMs));
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == 100; }));

  std::vector<uint8_t> got = Read(handle_, 40);
  EXPECT_TRUE(Readable(fd_, 0)) << "60 bytes remain";
  std::vector<uint8_t> rest = Read(handle_, 60);
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
  Read(handle_, 10);
  EXPECT_FALSE(Readable(fd_, 0));
}

TEST_F(EventFdTest, OneDescriptorPerHandleStartingFromTheCurrentState) {
  int again = -1;
  ASSERT_EQ(vexa_get_event_fd(handle_, &again), KX_OK);
  EXPECT_EQ(again, fd_);
  EXPECT_EQ(vexa_get_event_fd(nullptr, &again), KX_ERR_PARAMETER);
  EXPECT_EQ(vexa_get_event_fd(handle_, nullptr), KX_ERR_PARAMETER);

  // Handles that ask only after bytes, or a status change, arrived.
  const int dual = AddDual("FD2", "Late", 64);
  Rescan();
  KX_HANDLE with_bytes = OpenBy("Late A", KX_MATCH_DESCRIPTION);
  KX_HANDLE with_change = OpenBy("Late B", KX_MATCH_DESCRIPTION);
  ASSERT_TRUE(Deliver(dual, 0, Pattern(5)));
  ASSERT_EQ(vexa_sim_set_status(dual, 1, 0x90, 0x00), 0);
  // The status bytes go ahead of these: once they are queued, the change was seen.
  ASSERT_TRUE(Deliver(dual, 1, Pattern(1)));
  ASSERT_TRUE(Eventually([&] { return Queued(with_bytes) == 5 && Queued(with_change) == 1; }));
  Read(with_change, 1);

  int fd_bytes = -1, fd_change = -1;
  ASSERT_EQ(vexa_get_event_fd(with_bytes, &fd_bytes), KX_OK);
  ASSERT_EQ(vexa_get_event_fd(with_change, &fd_change), KX_OK);
  EXPECT_NE(fd_bytes, fd_);
  EXPECT_TRUE(Readable(fd_bytes, 0));
  EXPECT_TRUE(Readable(fd_change, 0));
  Read(with_bytes, 5);
  EXPECT_FALSE(Readable(fd_bytes, 0));
  unsigned long modem = 0;
  ASSERT_EQ(KX_GetModemStatus(with_change, &modem), KX_OK);
  EXPECT_EQ(modem, 0x90u);
  EXPECT_FALSE(Readable(fd_change, 0));
}

TEST_F(EventFdTest, EpollLoopServesSeveralHandlesAtOnce) {
  const int dual = AddDual("FD3", "Pair", 64);
  Rescan();
  KX_HANDLE a = OpenBy("Pair A", KX_MATCH_DESCRIPTION);
  KX_HANDLE b = OpenBy("Pair B", KX_MATCH_DESCRIPTION);
  struct Channel {
    KX_HANDLE handle;
    int chip, channel;
    std::vector<uint8_t> sent, got;
  } channels[] = {{handle_, chip_, 0, Pattern(20000, 1), {}},
                  {a, dual, 0, Pattern(30000, 2), {}},
                  {b, dual, 1, Pattern(25000, 3), {}}};

  const int epoll = epoll_create1(EPOLL_CLOEXEC);
  ASSERT_GE(epoll, 0);
  for (Channel &c : channels) {
    int fd = -1;
    ASSERT_EQ(vexa_get_event_fd(c.handle, &fd), KX_OK);
    epoll_event event = {};
    event.events = EPOLLIN;
    event.data.ptr = &c;
    ASSERT_EQ(epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event), 0);
  }
  // Fed in slices from another thread, so that the loop sees the channels
  // become ready in turns and at once.
  std::thread feeder([&] {
    for (size_t at = 0; at < 30000; at += 1000)
      for (Channel &c : channels)
        if (at < c.sent.size()) vexa_sim_queue_rx(c.chip, c.channel, c.sent.data() + at, 1000);
  });

  size_t wanted = 0, have = 0;
  for (const Channel &c : channels) wanted += c.sent.size();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (have < wanted && std::chrono::steady_clock::now() < deadline) {
    epoll_event ready[3];
    const int n = epoll_wait(epoll, ready, 3, 1000);
    for (int i = 0; i < n; ++i) {
      Channel &c = *static_cast<Channel *>(ready[i].data.ptr);
      const uint32_t queued = Queued(c.handle);
      ASSERT_GT(queued, 0u) << "readable with an empty ring";
      std::vector<uint8_t> bytes(queued);
      uint32_t got = 0;
      ASSERT_EQ(KX_Read(c.handle, bytes.data(), queued, &got), KX_OK);
      c.got.insert(c.got.end(), bytes.begin(), bytes.begin() + got);
      have += got;
    }
  }
  feeder.join();
  close(epoll);
  for (const Channel &c : channels) EXPECT_EQ(c.got, c.sent);
}

TEST_F(EventFdTest, CloseReleasesTheDescriptor) {
  Close(handle_);
  const int before = OpenDescriptors();
  for (int i = 0; i < 200; ++i) {
    KX_HANDLE handle = nullptr;
    ASSERT_EQ(KX_Open(0, &handle), KX_OK);
    int fd = -1;
    ASSERT_EQ(vexa_get_event_fd(handle, &fd), KX_OK);
    ASSERT_EQ(KX_Close(handle), KX_OK);
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
