// Wake-up latency: from a byte entering the simulated chip's queue to the
// return of a waiting KX_Read, to the signal of a registered event object,
// and to the return of poll() on the handle's event descriptor;
// the baseline is a pseudo-terminal pair, where a blocked read() on one side
// returns after a write() on the other, as with a kernel serial driver.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "bench_support.h"
#include "families.h"
#include "stats.h"

namespace vexa_bench {

namespace {

// Time the main thread leaves a waiter that has announced itself before it
// triggers: long enough for the waiter to be blocked, not only about to be.
constexpr double kSettleSeconds = 200e-6;
constexpr auto kSampleLimit = std::chrono::seconds(10);

// The two sides of one sample: the waiter says it is about to block, then
// reports when its wait returned.
class Handshake {
 public:
  void Ready() {
    std::lock_guard<std::mutex> hold(lock_);
    ready_ = true;
    changed_.notify_all();
  }
  bool WaitReady() {
    std::unique_lock<std::mutex> hold(lock_);
    const bool ok = changed_.wait_for(hold, kSampleLimit, [&] { return ready_; });
    ready_ = false;
    return ok;
  }
  void Returned(double at) {
    std::lock_guard<std::mutex> hold(lock_);
    returned_at_ = at;
    returned_ = true;
    changed_.notify_all();
  }
  // When the waiter's wait returned, or a negative value if it never did.
  double WaitReturned() {
    std::unique_lock<std::mutex> hold(lock_);
    if (!changed_.wait_for(hold, kSampleLimit, [&] { return returned_; })) return -1;
    returned_ = false;
    return returned_at_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool ready_ = false;
  bool returned_ = false;
  double returned_at_ = 0;
};

// Runs `samples` cycles: `wait` blocks on the waiter thread until the byte
// that `trigger` sends has arrived and returns when its wait ended (negative:
// it failed); `blocked` runs on the main thread after the waiter's
// announcement and before the settle time.
bool Sample(size_t samples, const std::function<double(Handshake &)> &wait,
            const std::function<void()> &blocked, const std::function<void()> &trigger,
            std::vector<double> *latencies) {
  Handshake handshake;
  std::atomic<bool> stop{false};
  bool waiter_ok = true;
  std::thread waiter([&] {
    for (size_t i = 0; i < samples && waiter_ok && !stop.load(); ++i) {
      const double returned = wait(handshake);
      if (returned < 0) waiter_ok = false;
      handshake.Returned(returned);
    }
  });
  bool ok = true;
  for (size_t i = 0; i < samples; ++i) {
    if (!handshake.WaitReady()) {
      ok = false;
      break;
    }
    if (blocked) blocked();
    SleepFor(kSettleSeconds);
    const double sent = Now();
    trigger();
    const double returned = handshake.WaitReturned();
    if (returned < 0) {
      ok = false;
      break;
    }
    latencies->push_back(returned - sent);
  }
  if (!ok) {
    // One more byte frees a waiter still blocked on a sample that went wrong.
    stop.store(true);
    trigger();
  }
  waiter.join();
  return ok && waiter_ok;
}

// One of the three paths measured: what the waiter blocks in, what the main
// thread does once the waiter has announced itself, and the byte it sends.
struct Probe {
  const char *name;
  std::function<double(Handshake &)> wait;
  std::function<void()> blocked;
  std::function<void()> trigger;
  std::vector<double> latencies;
};

void Report(benchmark::State &state, const Probe &probe) {
  const Summary summary = Summarise(probe.latencies);
  const std::string prefix = std::string(probe.name) + "_";
  state.counters[prefix + "p50_s"] = summary.p50;
  state.counters[prefix + "p99_s"] = summary.p99;
  state.counters[prefix + "max_s"] = summary.max;
  state.counters[prefix + "samples"] = static_cast<double>(summary.count);
}

size_t Samples() { return ByMode<size_t>(500, 10000); }
// Samples of one path taken in a row before the next path's turn.
size_t Block() { return ByMode<size_t>(100, 500); }

// The pseudo-terminal, KX_Read, the event object and the descriptor take
// turns in blocks, so that the baseline and the figures see the same spells of
// load on a shared machine. Each library path has a chip and a handle of its
// own: a handle with event notification on would make the KX_Read path signal
// an event too, and one with a descriptor would keep it up to date.
void Interleaved(benchmark::State &state) {
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    state.SkipWithError("openpty failed");
    return;
  }
  termios raw;
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);

  SimBus bus;
  int read_chip = -1, event_chip = -1, polled_chip = -1;
  KX_HANDLE reading = bus.AddAndOpen(state, 64, &read_chip);
  KX_HANDLE signalling = reading ? bus.AddAndOpen(state, 64, &event_chip) : nullptr;
  KX_HANDLE polled = signalling ? bus.AddAndOpen(state, 64, &polled_chip) : nullptr;
  int descriptor = -1;
  if (polled && vexa_get_event_fd(polled, &descriptor) != KX_OK) {
    state.SkipWithError("vexa_get_event_fd failed");
    polled = nullptr;
  }
  if (!reading || !signalling || !polled) {
    close(slave);
    close(master);
    return;
  }
  KX_SetTimeouts(reading, 5000, 0);
  KX_SetTimeouts(signalling, 5000, 0);
  KX_EVENT_HANDLE event;
  pthread_mutex_init(&event.mutex, nullptr);
  pthread_cond_init(&event.cond, nullptr);
  KX_SetEventNotification(signalling, KX_EVENT_RX_DATA, &event);
  const uint8_t byte = 0x5A;

  Probe probes[] = {
      {"pty",
       [&](Handshake &handshake) {
         char c;
         handshake.Ready();
         return read(slave, &c, 1) == 1 ? Now() : -1.0;
       },
       nullptr, [&] { (void)!write(master, "x", 1); }, {}},
      {"read",
       [&](Handshake &handshake) {
         uint8_t c = 0;
         uint32_t got = 0;
         handshake.Ready();
         const bool ok = KX_Read(reading, &c, 1, &got) == KX_OK && got == 1 && c == byte;
         return ok ? Now() : -1.0;
       },
       nullptr, [&] { vexa_sim_queue_rx(read_chip, 0, &byte, 1); }, {}},
      {"event",
       [&](Handshake &handshake) {
         // The event mutex is held from the announcement until the wait
         // releases it, so the main thread's lock of it proves we are waiting.
         pthread_mutex_lock(&event.mutex);
         handshake.Ready();
         uint32_t events = 0;
         while (KX_GetEventStatus(signalling, &events) == KX_OK && !(events & KX_EVENT_RX_DATA))
           pthread_cond_wait(&event.cond, &event.mutex);
         pthread_mutex_unlock(&event.mutex);
         const double signalled = Now();
         // Empty the ring again; the sample is the signal, not this read.
         uint8_t c = 0;
         uint32_t got = 0;
         const bool drained = KX_Read(signalling, &c, 1, &got) == KX_OK && c == byte;
         return drained ? signalled : -1.0;
       },
       [&] {
         pthread_mutex_lock(&event.mutex);
         pthread_mutex_unlock(&event.mutex);
       },
       [&] { vexa_sim_queue_rx(event_chip, 0, &byte, 1); }, {}},
      {"fd",
       [&](Handshake &handshake) {
         pollfd ready = {descriptor, POLLIN, 0};
         handshake.Ready();
         if (poll(&ready, 1, 5000) != 1) return -1.0;
         const double woken = Now();
         // Empty the ring, which makes the descriptor unreadable again.
         uint8_t c = 0;
         uint32_t got = 0;
         const bool drained = KX_Read(polled, &c, 1, &got) == KX_OK && c == byte;
         return drained ? woken : -1.0;
       },
       nullptr, [&] { vexa_sim_queue_rx(polled_chip, 0, &byte, 1); }, {}},
  };

  const Probe *failed = nullptr;
  for (auto _ : state) {
    for (size_t taken = 0; taken < Samples() && !failed; taken += Block()) {
      for (Probe &probe : probes) {
        const size_t block = std::min(Block(), Samples() - taken);
        if (!Sample(block, probe.wait, probe.blocked, probe.trigger, &probe.latencies)) {
          failed = &probe;
          break;
        }
      }
    }
  }
  if (failed) state.SkipWithError((std::string("a ") + failed->name + " sample failed").c_str());
  KX_SetEventNotification(signalling, 0, nullptr);
  bus.Close(signalling);
  pthread_cond_destroy(&event.cond);
  pthread_mutex_destroy(&event.mutex);
  close(slave);
  close(master);
  for (const Probe &probe : probes) Report(state, probe);
}

}  // namespace

void RegisterWakeupLatency() {
  benchmark::RegisterBenchmark("wake/interleaved", Interleaved)
      ->UseRealTime()->Iterations(1)->Unit(benchmark::kMillisecond);
}

}  // namespace vexa_bench
