// Registration of each benchmark family; bench_main calls them all once the
// run mode is known, so that sample counts can depend on it.
#ifndef VEXA_BENCH_FAMILIES_H
#define VEXA_BENCH_FAMILIES_H

namespace vexa_bench {

void RegisterReceiveThroughput();
void RegisterTransmitThroughput();
void RegisterWakeupLatency();
void RegisterLineRate();
void RegisterIdleCost();
void RegisterHandleLatency();
void RegisterEepromCost();

}  // namespace vexa_bench

#endif  // VEXA_BENCH_FAMILIES_H
