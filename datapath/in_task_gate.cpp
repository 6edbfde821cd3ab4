#include "in_task_gate.h"

#include <atomic>

#include "bulk_in.h"

namespace {

// A function-local static: constructed on first use, so loading the library
// runs none of its code.
// `stopped` is written under `lock`, so a reader that waits on `changed`
// cannot miss a change; it is atomic so that a streaming reader can see the
// gate open on each pass without taking a lock every handle shares.
struct Gate {
  Mutex lock;
  MonotonicCondition changed;
  std::atomic<bool> stopped{false};  // written under lock, read with or without it
};

// Never destroyed: reader threads may still wait on it while the process
// runs its exit handlers, and destroying a condition variable that has
// waiters blocks for ever.
Gate &gate() {
  static Gate &instance = *new Gate;
  return instance;
}

}  // namespace

int usb_stop_bulk_in() {
  Gate &g = gate();
  MutexGuard hold(g.lock);
  g.stopped.store(true);
  return 0;
}

int usb_start_bulk_in() {
  Gate &g = gate();
  {
    MutexGuard hold(g.lock);
    g.stopped.store(false);
  }
  g.changed.Broadcast();
  return 0;
}

bool WaitWhileInTaskStopped(norvec_device *device) {
  Gate &g = gate();
  if (!g.stopped.load()) return false;
  MutexGuard hold(g.lock);
  g.changed.WaitUntil(g.lock, nullptr,
                      [&] { return !g.stopped.load() || device->stop_reader.load() != 0; });
  return true;
}

void WakeInTaskGate() {
  Gate &g = gate();
  // Taking the lock orders this wake-up after the waiter's predicate check,
  // so a stop flag set just before cannot be missed.
  { MutexGuard hold(g.lock); }
  g.changed.Broadcast();
}
