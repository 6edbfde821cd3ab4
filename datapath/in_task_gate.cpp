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
  if (!g.stopped.load()) {
    // Streaming: a waiting read is served on this pass anyway.
    if (device->read_waiting.load(std::memory_order_relaxed)) device->read_waiting.store(false);
    return true;
  }
  MutexGuard hold(g.lock);
  g.changed.WaitUntil(g.lock, nullptr, [&] {
    return !g.stopped.load() || device->stop_reader.load() != 0 || device->read_waiting.load();
  });
  device->read_waiting.store(false);
  return !g.stopped.load();
}

void WakeInTaskGate() {
  Gate &g = gate();
  // Taking the lock orders this wake-up after the waiter's predicate check,
  // so a stop flag set just before cannot be missed.
  { MutexGuard hold(g.lock); }
  g.changed.Broadcast();
}

void WakeInTaskGateForRead(norvec_device *device) {
  Gate &g = gate();
  // Both flags are sequentially consistent: if this sees the gate open, a
  // reader that then finds it closed also finds read_waiting set, and does
  // not go to sleep. While streaming runs the reader passes by ProcessRead anyway.
  device->read_waiting.store(true);
  if (!g.stopped.load()) return;
  { MutexGuard hold(g.lock); }
  g.changed.Broadcast();
}
