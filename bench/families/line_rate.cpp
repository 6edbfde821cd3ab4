// Line-rate streaming: the simulated chip paced at the USB full-speed bulk
// limit (19 packets of 64 bytes per 1 ms frame) and the high-speed limit (13
// packets of 512 bytes per 125 us microframe). Reports the payload rate the
// application received, whether every byte arrived in order, and the
// process's CPU time per second of streaming; the baseline is an
// application's own paced usb_bulk_read loop doing the same work.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>

#include "bench_support.h"
#include "families.h"

namespace vexa_bench {

namespace {

constexpr uint32_t kRequest = 1u << 16;
constexpr int kTransfer = 4096;

struct Line {
  int pacing;         // simulator pacing mode
  int packet;         // wMaxPacketSize
  double paced_rate;  // payload bytes per second the pacing allows
};

// 19 x 62 payload bytes per 1 ms; 13 x 510 per 125 us.
constexpr Line kFullSpeed{1, 64, 19.0 * 62 * 1000};
constexpr Line kHighSpeed{2, 512, 13.0 * 510 * 8000};

size_t StreamBytes(const Line &line) {
  return static_cast<size_t>(line.paced_rate * ByMode(0.5, 2.0));
}

struct Outcome {
  double seconds = 0;
  double process_cpu = 0;
  double thread_cpu = 0;
  long sleeps = 0;
  size_t received = 0;
  bool in_order = true;
};

void Report(benchmark::State &state, const Line &line, size_t total, const Outcome &outcome) {
  const double seconds = std::max(outcome.seconds, 1e-9);
  state.counters["rate_Bps"] = static_cast<double>(outcome.received) / seconds;
  state.counters["paced_Bps"] = line.paced_rate;
  state.counters["cpu_fraction"] = outcome.process_cpu / seconds;
  state.counters["app_thread_cpu_fraction"] = outcome.thread_cpu / seconds;
  state.counters["sleeps_per_s"] = static_cast<double>(outcome.sleeps) / seconds;
  state.counters["lost_bytes"] = static_cast<double>(total - outcome.received);
  state.counters["in_order"] = outcome.in_order ? 1 : 0;
}

void LibraryStream(benchmark::State &state, Line line) {
  SimBus bus;
  int chip = -1;
  KX_HANDLE handle = bus.AddAndOpen(state, line.packet, &chip);
  if (!handle) return;
  // A stream that stalls for this long has lost bytes.
  KX_SetTimeouts(handle, 2000, 0);
  const Pattern pattern;
  const size_t total = StreamBytes(line);
  // Queue the whole stream while the reader waits at the in-task gate, so the
  // clock starts with nothing received yet.
  KX_StopInTask(handle);
  SleepFor(0.02);
  vexa_sim_set_pacing(chip, 0, line.pacing);
  {
    const std::vector<uint8_t> stream = pattern.Make(0, total);
    vexa_sim_queue_rx(chip, 0, stream.data(), stream.size());
  }
  std::vector<uint8_t> buffer(kRequest);
  Outcome outcome;
  for (auto _ : state) {
    const double cpu0 = ProcessCpuSeconds(), thread0 = ThreadCpuSeconds(), t0 = Now();
    const long sleeps0 = ProcessSleeps();
    KX_RestartInTask(handle);
    while (outcome.received < total) {
      const uint32_t want = static_cast<uint32_t>(std::min<size_t>(kRequest, total - outcome.received));
      uint32_t got = 0;
      const KX_STATUS status = KX_Read(handle, buffer.data(), want, &got);
      if (!pattern.Matches(outcome.received, buffer.data(), got)) outcome.in_order = false;
      outcome.received += got;
      if (status != KX_OK) break;
    }
    outcome.seconds = Now() - t0;
    outcome.thread_cpu = ThreadCpuSeconds() - thread0;
    outcome.process_cpu = ProcessCpuSeconds() - cpu0;
    outcome.sleeps = ProcessSleeps() - sleeps0;
  }
  KX_RestartInTask(handle);
  Report(state, line, total, outcome);
}

void BaselineStream(benchmark::State &state, Line line) {
  SimBus bus;
  const int chip = bus.AddChip(line.packet);
  usb_dev_handle *raw = bus.OpenRaw(0);
  if (chip < 0 || !raw) {
    state.SkipWithError("cannot open the simulated chip through libusb");
    return;
  }
  const Pattern pattern;
  const size_t total = StreamBytes(line);
  vexa_sim_set_pacing(chip, 0, line.pacing);
  {
    const std::vector<uint8_t> stream = pattern.Make(0, total);
    vexa_sim_queue_rx(chip, 0, stream.data(), stream.size());
  }
  std::vector<uint8_t> transfer(kTransfer);
  std::vector<uint8_t> application(kRequest);
  Outcome outcome;
  for (auto _ : state) {
    const double cpu0 = ProcessCpuSeconds(), thread0 = ThreadCpuSeconds(), t0 = Now();
    const long sleeps0 = ProcessSleeps();
    size_t filled = 0;  // payload waiting in the application buffer, checked when full
    while (outcome.received + filled < total) {
      const int got = usb_bulk_read(raw, 0x81, reinterpret_cast<char *>(transfer.data()),
                                    kTransfer, 2000);
      if (got <= 0) break;
      if (filled + kTransfer > application.size()) {
        if (!pattern.Matches(outcome.received, application.data(), filled)) outcome.in_order = false;
        outcome.received += filled;
        filled = 0;
      }
      filled += StripStatusBytes(transfer.data(), static_cast<size_t>(got),
                                 static_cast<size_t>(line.packet), application.data() + filled);
    }
    if (!pattern.Matches(outcome.received, application.data(), filled)) outcome.in_order = false;
    outcome.received += filled;
    outcome.seconds = Now() - t0;
    outcome.thread_cpu = ThreadCpuSeconds() - thread0;
    outcome.process_cpu = ProcessCpuSeconds() - cpu0;
    outcome.sleeps = ProcessSleeps() - sleeps0;
  }
  Report(state, line, total, outcome);
}

void Configure(benchmark::internal::Benchmark *benchmark) {
  benchmark->UseRealTime()->Iterations(1)->Unit(benchmark::kMillisecond);
}

}  // namespace

void RegisterLineRate() {
  Configure(benchmark::RegisterBenchmark("line/baseline/full", BaselineStream, kFullSpeed));
  Configure(benchmark::RegisterBenchmark("line/library/full", LibraryStream, kFullSpeed));
  Configure(benchmark::RegisterBenchmark("line/baseline/high", BaselineStream, kHighSpeed));
  Configure(benchmark::RegisterBenchmark("line/library/high", LibraryStream, kHighSpeed));
}

}  // namespace vexa_bench
