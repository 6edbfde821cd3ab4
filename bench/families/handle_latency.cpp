// Handle calls: KX_Close on an idle chip and on a silent one (whose reader
// sits in a bulk transfer until its time-out), KX_Open against a bare
// usb_open and claim, and KX_ListDevices with 32 chips against a bare rescan.
#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "families.h"
#include "stats.h"

namespace vexa_bench {

namespace {

constexpr int kListedChips = 32;

void ReportSamples(benchmark::State &state, const std::vector<double> &samples) {
  const Summary summary = Summarise(samples);
  state.counters["p50_s"] = summary.p50;
  state.counters["max_s"] = summary.max;
  state.counters["samples"] = static_cast<double>(summary.count);
}

void CloseLatency(benchmark::State &state, bool silent) {
  SimBus bus;
  const int chip = bus.AddChip(64);
  if (silent) vexa_sim_set_silent(chip, 0, 1);
  const size_t samples = silent ? ByMode<size_t>(1, 3) : ByMode<size_t>(10, 48);
  std::vector<double> latencies;
  for (auto _ : state) {
    for (size_t i = 0; i < samples; ++i) {
      KX_HANDLE handle = bus.Open(0);
      if (!handle) {
        state.SkipWithError("cannot open the simulated chip");
        return;
      }
      // Close at points spread over the 16 ms status-packet cycle.
      SleepFor(0.02 + 0.001 * static_cast<double>(i % 16));
      const double t0 = Now();
      const KX_STATUS status = bus.Close(handle);
      latencies.push_back(Now() - t0);
      if (status != KX_OK) {
        state.SkipWithError("KX_Close failed");
        return;
      }
    }
  }
  ReportSamples(state, latencies);
}

void OpenLatency(benchmark::State &state) {
  SimBus bus;
  if (bus.AddChip(64) < 0) {
    state.SkipWithError("cannot add a chip");
    return;
  }
  std::vector<double> latencies;
  for (auto _ : state) {
    for (size_t i = 0, n = ByMode<size_t>(20, 100); i < n; ++i) {
      KX_HANDLE handle = nullptr;
      const double t0 = Now();
      const KX_STATUS status = KX_Open(0, &handle);
      latencies.push_back(Now() - t0);
      if (status != KX_OK) {
        state.SkipWithError("KX_Open failed");
        return;
      }
      KX_Close(handle);
    }
  }
  ReportSamples(state, latencies);
}

void RawOpenLatency(benchmark::State &state) {
  SimBus bus;
  if (bus.AddChip(64) < 0) {
    state.SkipWithError("cannot add a chip");
    return;
  }
  usb_init();
  usb_find_busses();
  usb_find_devices();
  struct usb_device *device = usb_get_busses() ? usb_get_busses()->devices : nullptr;
  if (!device) {
    state.SkipWithError("no device on the simulated bus");
    return;
  }
  std::vector<double> latencies;
  for (auto _ : state) {
    for (size_t i = 0, n = ByMode<size_t>(20, 100); i < n; ++i) {
      const double t0 = Now();
      usb_dev_handle *handle = usb_open(device);
      const bool claimed = handle && usb_claim_interface(handle, 0) == 0;
      latencies.push_back(Now() - t0);
      if (handle) {
        usb_release_interface(handle, 0);
        usb_close(handle);
      }
      if (!claimed) {
        state.SkipWithError("usb_open or claim failed");
        return;
      }
    }
  }
  ReportSamples(state, latencies);
}

void ListDevices(benchmark::State &state) {
  SimBus bus;
  for (int i = 0; i < kListedChips; ++i) bus.AddChip(64);
  for (auto _ : state) {
    uint32_t count = 0;
    if (KX_ListDevices(&count, nullptr, KX_LIST_COUNT) != KX_OK || count != kListedChips) {
      state.SkipWithError("KX_ListDevices did not count 32 channels");
      break;
    }
  }
}

void RawRescan(benchmark::State &state) {
  SimBus bus;
  for (int i = 0; i < kListedChips; ++i) bus.AddChip(64);
  usb_init();
  for (auto _ : state) {
    usb_find_busses();
    usb_find_devices();
    int count = 0;
    for (usb_bus *b = usb_get_busses(); b; b = b->next)
      for (struct usb_device *d = b->devices; d; d = d->next) ++count;
    if (count != kListedChips) {
      state.SkipWithError("the rescan did not find 32 devices");
      break;
    }
  }
}

}  // namespace

void RegisterHandleLatency() {
  benchmark::RegisterBenchmark("handle/close_idle", CloseLatency, false)->UseRealTime()->Iterations(1);
  benchmark::RegisterBenchmark("handle/close_silent", CloseLatency, true)->UseRealTime()->Iterations(1);
  benchmark::RegisterBenchmark("handle/open_raw", RawOpenLatency)->UseRealTime()->Iterations(1);
  benchmark::RegisterBenchmark("handle/open", OpenLatency)->UseRealTime()->Iterations(1);
  benchmark::RegisterBenchmark("handle/list32_raw", RawRescan)->UseRealTime()->MinTime(ByMode(0.05, 0.5))
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("handle/list32", ListDevices)->UseRealTime()->MinTime(ByMode(0.05, 0.5))
      ->Unit(benchmark::kMicrosecond);
}

}  // namespace vexa_bench
