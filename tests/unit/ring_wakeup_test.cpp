// A reader thread that waits for room in a full ring must be woken by the
// read or purge that frees it. Its wait is bounded, so a missed wake-up does
// not hang the stream, it stalls it once per refill; only a wait with a long
// deadline, as here, shows the difference.
#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

#include "device.h"
#include "ring.h"

namespace {

constexpr uint32_t kCapacity = 4096;
constexpr uint32_t kWanted = kCapacity / 2;

enum class Freeing { ExactlyTheRoomWanted, Purge };

// Fills the ring, lets a second thread wait for kWanted bytes of room the
// way the reader does, frees room with `freeing`, and says whether the
// waiter was signalled before its deadline.
bool WaiterWoken(Freeing freeing) {
  norvec_device device;
  std::vector<uint8_t> storage(kCapacity), out(kCapacity);
  {
    MutexGuard hold(device.rx_lock);
    device.rx_buffer = storage.data();
    device.rx_capacity = kCapacity;
    device.rx_free = 0;
  }
  std::promise<void> about_to_wait;
  bool woken = false;
  std::thread waiter([&] {
    MutexGuard hold(device.rx_lock);
    device.rx_room_wanted = kWanted;
    about_to_wait.set_value();
    const timespec deadline = MonotonicDeadline(10000);
    woken = device.rx_space.WaitOnce(device.rx_lock, &deadline);
    device.rx_room_wanted = 0;
  });
  about_to_wait.get_future().wait();
  {
    // The waiter releases rx_lock only inside its wait, so holding it here
    // means the signal below cannot come too early.
    MutexGuard hold(device.rx_lock);
    if (freeing == Freeing::Purge)
      RingResetLocked(&device);
    else
      RingTakeLocked(&device, out.data(), kCapacity - kWanted);
  }
  waiter.join();
  return woken;
}

TEST(RingWakeup, FreeingTheRoomTheReaderWaitsForWakesItAtOnce) {
  EXPECT_TRUE(WaiterWoken(Freeing::ExactlyTheRoomWanted));
  EXPECT_TRUE(WaiterWoken(Freeing::Purge));
}

}  // namespace
