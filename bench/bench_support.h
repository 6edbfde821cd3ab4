// What every benchmark family shares: the run mode, a fresh simulated bus per
// benchmark, raw libusb handles for the baselines, clocks and a data pattern.
#ifndef VEXA_BENCH_SUPPORT_H
#define VEXA_BENCH_SUPPORT_H

#include <usb.h>

#include <cstdint>
#include <vector>

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
void SleepFor(double seconds);

// The payload stream the benchmarks send: byte i is i mod 251 (a prime, so a
// lost or repeated block of any power-of-two size shows as a mismatch).
class Pattern {
 public:
  static constexpr uint32_t kPeriod = 251;
  static constexpr uint32_t kMaxCheck = 1u << 20;
  Pattern();
  // n bytes of the stream starting at stream offset `offset`.
  std::vector<uint8_t> Make(uint64_t offset, size_t n) const;
  // Whether data holds the n bytes of the stream from `offset` (n <= kMaxCheck).
  bool Matches(uint64_t offset, const uint8_t *data, size_t n) const;

 private:
  std::vector<uint8_t> reference_;
};

// Copies the payload of a raw bulk IN transfer (packets led by two status
// bytes) to out; returns the payload length.
size_t StripStatusBytes(const uint8_t *transfer, size_t length, size_t packet, uint8_t *out);

}  // namespace vexa_bench

#endif  // VEXA_BENCH_SUPPORT_H
