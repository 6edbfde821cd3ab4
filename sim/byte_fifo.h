// A first-in first-out byte queue for the chip's receive and transmit data.
// Bulk IN takes a packet's payload per step, so taking must be a plain copy
// from contiguous storage: the bytes sit in one vector behind a read offset,
// and the consumed front is dropped only when it outweighs what is left, which
// keeps every byte's copying amortised to a constant.
#ifndef VEXA_SIM_BYTE_FIFO_H
#define VEXA_SIM_BYTE_FIFO_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace vexa_sim {

class ByteFifo {
 public:
  size_t size() const { return bytes_.size() - head_; }
  bool empty() const { return size() == 0; }

  void clear() {
    bytes_.clear();
    head_ = 0;
  }

  void append(const uint8_t *data, size_t n) {
    if (n == 0) return;
    Compact();
    bytes_.insert(bytes_.end(), data, data + n);
  }

  // Copies the n oldest bytes to `out` (null: discards them). n <= size().
  void take(uint8_t *out, size_t n) {
    if (n == 0) return;
    if (out) std::memcpy(out, bytes_.data() + head_, n);
    head_ += n;
    if (head_ == bytes_.size()) clear();
  }

 private:
  // Drops the consumed front once it is at least as large as the rest.
  void Compact() {
    if (head_ == 0 || head_ < size()) return;
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }

  std::vector<uint8_t> bytes_;
  size_t head_ = 0;
};

}  // namespace vexa_sim

#endif  // VEXA_SIM_BYTE_FIFO_H
