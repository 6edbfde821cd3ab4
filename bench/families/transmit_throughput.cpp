// Transmit throughput: KX_Write of 1 MiB against a plain loop of 4096-byte
// usb_bulk_write transfers on the same simulated chip.
#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "families.h"

namespace vexa_bench {

namespace {

constexpr size_t kBlock = 1u << 20;
constexpr int kChunk = 4096;

// Takes what the chip captured, outside the timed part, so that its queue
// does not grow from one iteration to the next; returns the byte count.
size_t DrainCaptured(int chip, std::vector<uint8_t> *sink) {
  size_t taken = 0;
  while (size_t n = vexa_sim_take_tx(chip, 0, sink->data(), sink->size())) taken += n;
  return taken;
}

void LibraryTransmit(benchmark::State &state) {
  SimBus bus;
  int chip = -1;
  KX_HANDLE handle = bus.AddAndOpen(state, 64, &chip);
  if (!handle) return;
  const std::vector<uint8_t> block = Pattern().Make(0, kBlock);
  std::vector<uint8_t> sink(kBlock);
  for (auto _ : state) {
    uint32_t written = 0;
    const KX_STATUS status =
        KX_Write(handle, block.data(), static_cast<uint32_t>(block.size()), &written);
    state.PauseTiming();
    const size_t captured = DrainCaptured(chip, &sink);
    state.ResumeTiming();
    if (status != KX_OK || written != kBlock || captured != kBlock) {
      state.SkipWithError("KX_Write did not deliver the whole block");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock));
}

void BaselineTransmit(benchmark::State &state) {
  SimBus bus;
  const int chip = bus.AddChip(64);
  usb_dev_handle *raw = bus.OpenRaw(0);
  if (chip < 0 || !raw) {
    state.SkipWithError("cannot open the simulated chip through libusb");
    return;
  }
  const std::vector<uint8_t> block = Pattern().Make(0, kBlock);
  std::vector<uint8_t> sink(kBlock);
  for (auto _ : state) {
    size_t sent = 0;
    for (size_t at = 0; at < kBlock; at += kChunk) {
      const int n = usb_bulk_write(raw, 0x02, reinterpret_cast<const char *>(block.data() + at),
                                   kChunk, 5000);
      if (n < 0) break;
      sent += static_cast<size_t>(n);
    }
    state.PauseTiming();
    const size_t captured = DrainCaptured(chip, &sink);
    state.ResumeTiming();
    if (sent != kBlock || captured != kBlock) {
      state.SkipWithError("usb_bulk_write did not deliver the whole block");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock));
}

void Configure(benchmark::internal::Benchmark *benchmark) {
  benchmark->UseRealTime()->Iterations(ByMode(20, 2000))->Repetitions(ByMode(1, 5))
      ->ReportAggregatesOnly(!Quick())->Unit(benchmark::kMillisecond);
}

}  // namespace

void RegisterTransmitThroughput() {
  Configure(benchmark::RegisterBenchmark("tx/baseline", BaselineTransmit));
  Configure(benchmark::RegisterBenchmark("tx/library", LibraryTransmit));
}

}  // namespace vexa_bench
