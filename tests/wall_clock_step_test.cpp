// A step of the wall clock (NTP, an administrator) neither cuts nor stretches
// a read time-out. The step is simulated: this executable defines the
// process's gettimeofday and clock_gettime, which report the wall clock
// shifted by g_wall_clock_step, while the kernel's timed waits keep the real
// one - as when a step falls between computing a deadline and waiting for it.
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "sim_fixture.h"

namespace {
std::atomic<long> g_wall_clock_step{0};  // seconds
}  // namespace

extern "C" int clock_gettime(clockid_t clock, struct timespec *at) {
  const int rc = static_cast<int>(syscall(SYS_clock_gettime, clock, at));
  if (rc == 0 && clock == CLOCK_REALTIME) at->tv_sec += g_wall_clock_step.load();
  return rc;
}

extern "C" int gettimeofday(struct timeval *now, void *) {
  const int rc = static_cast<int>(syscall(SYS_gettimeofday, now, nullptr));
  if (rc == 0) now->tv_sec += g_wall_clock_step.load();
  return rc;
}

namespace {

using std::chrono::milliseconds;
constexpr KX_STATUS kRunning = 99;

using WallClockStep = OpenChipTest;

TEST_F(WallClockStep, ReadTimeoutIsNeitherCutNorStretched) {
  KX_HANDLE handle = handle_;
  ASSERT_EQ(KX_SetTimeouts(handle, 200, 0), KX_OK);
  for (const long step : {-3600L, 3600L}) {
    g_wall_clock_step.store(step);
    std::atomic<KX_STATUS> status{kRunning};
    uint8_t buffer[10];
    uint32_t got = 0;
    const auto start = std::chrono::steady_clock::now();
    std::thread read([&] { status = KX_Read(handle, buffer, sizeof buffer, &got); });
    const bool ended = Eventually([&] { return status.load() != kRunning; }, 2000);
    const auto waited = std::chrono::steady_clock::now() - start;
    if (!ended) KX_Purge(handle, KX_PURGE_RX);  // frees a read stretched by the step
    read.join();
    EXPECT_TRUE(ended) << "wall clock stepped by " << step << " s: the read waited on";
    EXPECT_EQ(status.load(), KX_ERR_IO) << step;
    EXPECT_GE(waited, milliseconds(190)) << "wall clock stepped by " << step << " s";
  }
  g_wall_clock_step.store(0);
}

}  // namespace
