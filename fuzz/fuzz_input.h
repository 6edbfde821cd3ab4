// Shared pieces of the fuzz targets: typed values taken off the front of the
// input (past its end every value reads as zero, so a target never reads
// outside it), guarded output buffers, and the setup of chips to talk to.
#ifndef VEXA_FUZZ_INPUT_H
#define VEXA_FUZZ_INPUT_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "vexa.h"
#include "vexa_sim.h"

class FuzzInput {
 public:
  FuzzInput(const uint8_t *data, size_t size) : data_(data), size_(size) {}

  size_t remaining() const { return size_ - pos_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
  uint32_t Long() { return static_cast<uint32_t>(Word() | static_cast<uint32_t>(Word()) << 16); }
  bool Flag() { return Byte() & 1; }

  // A string of up to max bytes: a length byte (scaled), then the bytes; a
  // NUL in the input ends it early, as it would for a C caller.
  std::string Text(size_t max) {
    size_t length = Byte();
    if (max > 255) length = length * max / 255;
    std::string text;
    for (size_t k = 0; k < length && k < max && pos_ < size_; ++k) {
      const char c = static_cast<char>(data_[pos_++]);
      if (c == '\0') break;
      text.push_back(c);
    }
    return text;
  }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t pos_ = 0;
};

// A broken promise of the library: stop here so the fuzzer keeps the input.
#define FUZZ_CHECK(condition) do { if (!(condition)) std::abort(); } while (0)

// Output buffers with guard bytes on both sides.
template <size_t N, size_t Guard = 16>
struct Guarded {
  static constexpr uint8_t kGuard = 0xCD;
  uint8_t bytes[Guard + N + Guard];
  Guarded() { std::fill(bytes, bytes + sizeof bytes, kGuard); }
  uint8_t *data() { return bytes + Guard; }
  char *text() { return reinterpret_cast<char *>(bytes + Guard); }
  bool Intact() const {
    for (size_t k = 0; k < Guard; ++k)
      if (bytes[k] != kGuard || bytes[Guard + N + k] != kGuard) return false;
    return true;
  }
  // Whether a NUL ends a string inside the buffer.
  bool Terminated() const {
    return std::find(bytes + Guard, bytes + Guard + N, 0) != bytes + Guard + N;
  }
};

// Attaches the chips described as text (as in VEXA_SIM_CHIPS) and opens one
// channel of each by name, for targets that keep their handles across inputs.
template <size_t N>
void OpenChips(const char *chips, const char *const (&names)[N], KX_HANDLE (&handles)[N]) {
  vexa_sim_reset();
  FUZZ_CHECK(vexa_sim_add_chips_from_text(chips) == static_cast<int>(N));
  uint32_t count = 0;
  KX_ListDevices(&count, nullptr, KX_LIST_COUNT);  // builds the bus list
  for (size_t k = 0; k < N; ++k)
    FUZZ_CHECK(KX_OpenEx(names[k], KX_MATCH_SERIAL, &handles[k]) == KX_OK);
}

// Sets the four texts of a record of either form: manufacturer, its id,
// description, serial number.
template <typename Record>
void SetTexts(Record *record, char *const (&texts)[4]) {
  record->manufacturer = texts[0];
  record->manufacturer_id = texts[1];
  record->description = texts[2];
  record->serial_number = texts[3];
}

#endif  // VEXA_FUZZ_INPUT_H
