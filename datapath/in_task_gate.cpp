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

bool WaitWhileInTaskStopped(norvec_device *device) {
  Gate &g = gate();
  std::unique_lock<std::mutex> hold(g.lock);
  g.changed.wait(hold, [&] {
    return !g.stopped || device->stop_reader.load() != 0 || device->read_waiting.load();
  });
  device->read_waiting.store(false);
  return !g.stopped;
}

void WakeInTaskGate() {
  Gate &g = gate();
  // Taking the lock orders this wake-up after the waiter's predicate check,
  // so a stop flag set just before cannot be missed.
  { std::lock_guard<std::mutex> hold(g.lock); }
  g.changed.notify_all();
}

void WakeInTaskGateForRead(norvec_device *device) {
  Gate &g = gate();
  device->read_waiting.store(true);
  bool stopped;
  {
    std::lock_guard<std::mutex> hold(g.lock);
    stopped = g.stopped;
  }
  // While streaming runs the reader passes by ProcessRead anyway.
  if (stopped) g.changed.notify_all();
}
