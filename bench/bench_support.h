// What every benchmark family shares: the run mode, a fresh simulated bus per
// benchmark, raw libusb handles for the baselines, clocks and a data pattern.
#ifndef VEXA_BENCH_SUPPORT_H
#define VEXA_BENCH_SUPPORT_H

#include <benchmark/benchmark.h>
#include <usb.h>

#include <cstdint>
#include <vector>

#include "payload.h"
#include "vexa.h"
#include "vexa_sim.h"

namespace vexa_bench {

// Quick mode (CI) takes fewer samples and shorter windows.
bool Quick();
void SetQuick(bool quick);
template <typename T>
T ByMode(T quick, T full) {
  return Quick() ? quick : full;
}

// A clean simulated bus for the lifetime of one benchmark run. Bulk logging is
// off (it would dominate throughput); everything opened through it is closed
// and the simulator reset when it goes.
class SimBus {
 public:
  SimBus();
  ~SimBus();
  SimBus(const SimBus &) = delete;
  SimBus &operator=(const SimBus &) = delete;

  // Attaches a chip; returns its id (-1 on failure).
  int AddChip(int packet_size, int interfaces = 1, int eeprom_words = 64, uint16_t bcd = 0);
  // KX_Open by index; null on failure.
  KX_HANDLE Open(int index);
  // Attaches a single-channel chip with this packet size and opens it; on
  // failure the benchmark is skipped with an error and null is returned.
  KX_HANDLE AddAndOpen(benchmark::State &state, int packet_size, int *chip);
  // KX_Close of a handle opened here; returns the close status.
  KX_STATUS Close(KX_HANDLE handle);
  // The nth device of the bus opened straight through libusb with its first
  // interface claimed, for baselines that bypass the library; null on failure.
  usb_dev_handle *OpenRaw(int nth);

 private:
  std::vector<KX_HANDLE> handles_;
  std::vector<usb_dev_handle *> raw_;
  int next_serial_ = 0;
};

// Monotonic wall clock, in seconds.
double Now();
// CPU time (user + system) of the whole process / of the calling thread, in seconds.
double ProcessCpuSeconds();
double ThreadCpuSeconds();
// Times any thread of the process has blocked (voluntary context switches):
// each one is a sleep and, later, a wake-up that the kernel charges for.
long ProcessSleeps();
// The same for the calling thread alone.
long ThreadSleeps();
// read- and write-type system calls the whole process has made (from
// /proc/self/io), or -1 where the kernel does not count them.
long ProcessReadWriteCalls();
void SleepFor(double seconds);

}  // namespace vexa_bench

#endif  // VEXA_BENCH_SUPPORT_H
