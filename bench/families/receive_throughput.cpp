// Receive throughput without line pacing: KX_Read in 4 KiB and 64 KiB requests
// against an application's own loop of 4096-byte usb_bulk_read transfers that
// copies each packet's payload out, on the same simulated chip; and the same
// KX_Read loop on a handle whose event descriptor was asked for, whose upkeep
// must not show.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

#include "bench_support.h"
#include "families.h"

namespace vexa_bench {

namespace {

constexpr int kTransfer = 4096;

size_t StreamBytes() { return ByMode<size_t>(4u << 20, 16u << 20); }

// What all iterations of a run received, in MiB.
double MiBReceived(const benchmark::State &state, size_t total) {
  return static_cast<double>(state.iterations()) * static_cast<double>(total) / (1u << 20);
}

// How often a thread of the process went to sleep per MiB received: every
// sleep is a wake-up later, and those, not the copying, bound a reader that
// waits for its data. The application's own share (sleeps in KX_Read,
// waiting for bytes) tells them from the reader thread's (waiting for room
// or for the chip).
void ReportSleeps(benchmark::State &state, long sleeps, size_t total, long application_sleeps = -1) {
  const double mib = MiBReceived(state, total);
  state.counters["sleeps_per_MiB"] = mib > 0 ? static_cast<double>(sleeps) / mib : 0;
  if (application_sleeps >= 0)
    state.counters["app_sleeps_per_MiB"] = mib > 0 ? static_cast<double>(application_sleeps) / mib : 0;
}

// read and write system calls per MiB: an event descriptor's upkeep is
// eventfd reads and writes, counted here beside the same run without one.
void ReportCalls(benchmark::State &state, long calls, size_t total) {
  const double mib = MiBReceived(state, total);
  if (calls >= 0 && mib > 0) state.counters["rw_calls_per_MiB"] = static_cast<double>(calls) / mib;
}

// CPU time of the whole process (the reader thread included) per MiB.
void ReportCpu(benchmark::State &state, double cpu_seconds, size_t total) {
  const double mib = MiBReceived(state, total);
  state.counters["cpu_s_per_MiB"] = mib > 0 ? cpu_seconds / mib : 0;
}

// Holds the reader thread at the in-task gate while the next block is queued,
// so the timed part starts with an empty ring. Waiting one latency period lets
// a transfer that was already under way end first.
void ParkReader(KX_HANDLE handle) {
  KX_StopInTask(handle);
  SleepFor(0.02);
}

void LibraryReceive(benchmark::State &state, int packet, uint32_t request, bool descriptor) {
  SimBus bus;
  int chip = -1;
  KX_HANDLE handle = bus.AddAndOpen(state, packet, &chip);
  if (!handle) return;
  int fd = -1;
  if (descriptor && vexa_get_event_fd(handle, &fd) != KX_OK) {
    state.SkipWithError("vexa_get_event_fd failed");
    return;
  }
  KX_SetTimeouts(handle, 5000, 0);
  const size_t total = StreamBytes();
  const std::vector<uint8_t> stream = Pattern().Make(0, total);
  std::vector<uint8_t> buffer(request);
  long sleeps = 0, application_sleeps = 0, calls = 0;
  double cpu = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ParkReader(handle);
    vexa_sim_queue_rx(chip, 0, stream.data(), stream.size());
    state.ResumeTiming();
    const long sleeps0 = ProcessSleeps(), application_sleeps0 = ThreadSleeps();
    const double cpu0 = ProcessCpuSeconds();
    const long calls0 = ProcessReadWriteCalls();
    KX_RestartInTask(handle);
    size_t received = 0;
    while (received < total) {
      const uint32_t want = static_cast<uint32_t>(std::min<size_t>(request, total - received));
      uint32_t got = 0;
      const KX_STATUS status = KX_Read(handle, buffer.data(), want, &got);
      received += got;
      if (status != KX_OK) break;
    }
    sleeps += ProcessSleeps() - sleeps0;
    application_sleeps += ThreadSleeps() - application_sleeps0;
    cpu += ProcessCpuSeconds() - cpu0;
    calls = calls < 0 || calls0 < 0 ? -1 : calls + ProcessReadWriteCalls() - calls0;
    if (received != total) {
      state.SkipWithError("KX_Read timed out before the whole stream arrived");
      break;
    }
  }
  KX_RestartInTask(handle);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
  ReportSleeps(state, sleeps, total, application_sleeps);
  ReportCpu(state, cpu, total);
  ReportCalls(state, calls, total);
}

void BaselineReceive(benchmark::State &state, int packet) {
  SimBus bus;
  const int chip = bus.AddChip(packet);
  usb_dev_handle *raw = bus.OpenRaw(0);
  if (chip < 0 || !raw) {
    state.SkipWithError("cannot open the simulated chip through libusb");
    return;
  }
  const size_t total = StreamBytes();
  const std::vector<uint8_t> stream = Pattern().Make(0, total);
  std::vector<uint8_t> transfer(kTransfer);
  std::vector<uint8_t> application(1u << 16);
  long sleeps = 0;
  for (auto _ : state) {
    state.PauseTiming();
    vexa_sim_queue_rx(chip, 0, stream.data(), stream.size());
    state.ResumeTiming();
    const long sleeps0 = ProcessSleeps();
    size_t received = 0;
    size_t at = 0;
    while (received < total) {
      const int got = usb_bulk_read(raw, 0x81, reinterpret_cast<char *>(transfer.data()),
                                    kTransfer, 5000);
      if (got < 0) break;
      if (at + kTransfer > application.size()) at = 0;
      const size_t payload = StripStatusBytes(transfer.data(), static_cast<size_t>(got),
                                              static_cast<size_t>(packet), application.data() + at);
      at += payload;
      received += payload;
    }
    benchmark::DoNotOptimize(application.data());
    sleeps += ProcessSleeps() - sleeps0;
    if (received != total) {
      state.SkipWithError("usb_bulk_read failed before the whole stream arrived");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
  ReportSleeps(state, sleeps, total);
}

void Configure(benchmark::internal::Benchmark *benchmark) {
  benchmark->UseRealTime()->Iterations(ByMode(3, 5))->Repetitions(ByMode(1, 5))
      ->ReportAggregatesOnly(!Quick())->Unit(benchmark::kMillisecond);
}

}  // namespace

void RegisterReceiveThroughput() {
  for (int packet : {64, 512}) {
    const std::string p = std::to_string(packet);
    Configure(benchmark::RegisterBenchmark(("rx/baseline/p" + p).c_str(), BaselineReceive, packet));
    for (uint32_t request : {4096u, 65536u}) {
      const std::string r = "/p" + p + "/r" + std::to_string(request);
      Configure(benchmark::RegisterBenchmark(("rx/library" + r).c_str(), LibraryReceive, packet, request, false));
      Configure(benchmark::RegisterBenchmark(("rx/library-fd" + r).c_str(), LibraryReceive, packet, request, true));
    }
  }
}

}  // namespace vexa_bench
