#include "payload.h"

#include <cstring>

namespace vexa_bench {

Pattern::Pattern() : reference_(kPeriod + kMaxCheck) {
  for (size_t i = 0; i < reference_.size(); ++i) reference_[i] = static_cast<uint8_t>(i % kPeriod);
}

std::vector<uint8_t> Pattern::Make(uint64_t offset, size_t n) const {
  std::vector<uint8_t> data(n);
  uint32_t value = static_cast<uint32_t>(offset % kPeriod);
  for (size_t i = 0; i < n; ++i) {
    data[i] = static_cast<uint8_t>(value);
    if (++value == kPeriod) value = 0;
  }
  return data;
}

bool Pattern::Matches(uint64_t offset, const uint8_t *data, size_t n) const {
  if (n > kMaxCheck) return false;
  return std::memcmp(data, reference_.data() + offset % kPeriod, n) == 0;
}

size_t StripStatusBytes(const uint8_t *transfer, size_t length, size_t packet, uint8_t *out) {
  size_t payload = 0;
  for (size_t at = 0; at < length; at += packet) {
    const size_t size = length - at < packet ? length - at : packet;
    if (size <= 2) continue;
    std::memcpy(out + payload, transfer + at + 2, size - 2);
    payload += size - 2;
  }
  return payload;
}

}  // namespace vexa_bench
