#include "in_task_gate.h"

#include <condition_variable>
#include <mutex>

#include "bulk_in.h"

namespace {

// Function-local statics: constructed on first use, so loading the library
// runs none of its code.
struct Gate {
  std::mutex lock;
  std::condition_variable changed;
  bool stopped = false;
};

Gate &gate() {
  static Gate instance;
  return instance;
}

}  // namespace

int usb_stop_bulk_in() {
  Gate &g = gate();
  std::lock_guard<std::mutex> hold(g.lock);
  g.stopped = true;
  return 0;
}

int usb_start_bulk_in() {
  Gate &g = gate();
  {
    std::lock_guard<std::mutex> hold(g.lock);
    g.stopped = false;
  }
  g.changed.notify_all();
  return 0;
}

void WaitWhileInTaskStopped(norvec_device *device) {
  Gate &g = gate();
  std::unique_lock<std::mutex> hold(g.lock);
  g.changed.wait(hold, [&] { return !g.stopped || device->stop_reader.load() != 0; });
}

void WakeInTaskGate() {
  Gate &g = gate();
  // Taking the lock orders this wake-up after the waiter's predicate check,
  // so a stop flag set just before cannot be missed.
  { std::lock_guard<std::mutex> hold(g.lock); }
  g.changed.notify_all();
}
