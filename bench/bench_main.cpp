// The benchmark program: Google Benchmark's usual flags, plus --quick for a
// short run (fewer samples, shorter windows) that only proves every figure works.
#include <benchmark/benchmark.h>

#include <cstring>

#include "bench_support.h"
#include "families.h"

int main(int argc, char **argv) {
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      vexa_bench::SetQuick(true);
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;

  vexa_bench::RegisterReceiveThroughput();
  vexa_bench::RegisterTransmitThroughput();
  vexa_bench::RegisterWakeupLatency();
  vexa_bench::RegisterLineRate();
  vexa_bench::RegisterIdleCost();
  vexa_bench::RegisterHandleLatency();
  vexa_bench::RegisterEepromCost();

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::AddCustomContext("mode", vexa_bench::Quick() ? "quick" : "full");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
