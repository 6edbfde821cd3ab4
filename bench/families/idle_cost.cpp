// The cost of doing nothing: the process's CPU time over a quiet window with
// an open handle on an idle chip (a status packet every 16 ms, as the latency
// timer makes a real chip send them), with a full ring the application does
// not drain while the chip has more to send, with the device unplugged, and
// with the in-task stopped. The baseline is the same window with no handle.
#include <benchmark/benchmark.h>

#include <functional>

#include "bench_support.h"
#include "families.h"

namespace vexa_bench {

namespace {

double Window() { return ByMode(0.5, 2.0); }

// Lets start-up settle, then measures the process's CPU over the window.
double QuietCpuFraction() {
  SleepFor(0.1);
  const double cpu0 = ProcessCpuSeconds(), t0 = Now();
  SleepFor(Window());
  return (ProcessCpuSeconds() - cpu0) / (Now() - t0);
}

// Waits (bounded) until the ring holds `bytes`; false if it never does.
bool WaitForQueued(KX_HANDLE handle, uint32_t bytes) {
  const double deadline = Now() + 5;
  uint32_t queued = 0;
  while (KX_GetQueueStatus(handle, &queued) == KX_OK && queued < bytes) {
    if (Now() > deadline) return false;
    SleepFor(0.005);
  }
  return queued >= bytes;
}

// Stops the process-wide in-task for a scope: left stopped, it would stall
// every later benchmark.
struct StoppedInTask {
  explicit StoppedInTask(KX_HANDLE h) : handle(h) { KX_StopInTask(handle); }
  ~StoppedInTask() { KX_RestartInTask(handle); }
  KX_HANDLE handle;
};

enum class Scenario { NoHandle, IdleHandle, FullRing, Unplugged, StoppedInTask };

void Idle(benchmark::State &state, Scenario scenario) {
  SimBus bus;
  const int chip = bus.AddChip(64);
  KX_HANDLE handle = nullptr;
  if (scenario != Scenario::NoHandle) {
    handle = bus.Open(0);
    if (chip < 0 || !handle) {
      state.SkipWithError("cannot open the simulated chip");
      return;
    }
  }
  if (scenario == Scenario::FullRing) {
    // A 64-byte-packet ring holds 63488 bytes; queue four times that.
    const std::vector<uint8_t> stream = Pattern().Make(0, 4 * 63488);
    vexa_sim_queue_rx(chip, 0, stream.data(), stream.size());
    if (!WaitForQueued(handle, 63488)) {
      state.SkipWithError("the ring never filled");
      return;
    }
  }
  if (scenario == Scenario::Unplugged) vexa_sim_unplug(chip);
  double fraction = 0;
  for (auto _ : state) {
    if (scenario == Scenario::StoppedInTask) {
      StoppedInTask stopped(handle);
      fraction = QuietCpuFraction();
    } else {
      fraction = QuietCpuFraction();
    }
  }
  state.counters["cpu_fraction"] = fraction;
}

void Configure(benchmark::internal::Benchmark *benchmark) {
  benchmark->UseRealTime()->Iterations(1)->Unit(benchmark::kMillisecond);
}

}  // namespace

void RegisterIdleCost() {
  Configure(benchmark::RegisterBenchmark("idle/none", Idle, Scenario::NoHandle));
  Configure(benchmark::RegisterBenchmark("idle/open", Idle, Scenario::IdleHandle));
  Configure(benchmark::RegisterBenchmark("idle/full_ring", Idle, Scenario::FullRing));
  Configure(benchmark::RegisterBenchmark("idle/unplugged", Idle, Scenario::Unplugged));
  Configure(benchmark::RegisterBenchmark("idle/stopped", Idle, Scenario::StoppedInTask));
}

}  // namespace vexa_bench
