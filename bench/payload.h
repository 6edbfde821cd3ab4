// The payload the benchmarks stream, and the status-byte stripping an
// application's own bulk IN loop does; shared by the benchmarks and tests.
#ifndef VEXA_BENCH_PAYLOAD_H
#define VEXA_BENCH_PAYLOAD_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vexa_bench {

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

#endif  // VEXA_BENCH_PAYLOAD_H
