// Internal: the VEXA_DEBUG trace. Off unless the environment asks for it; the
// test at every call site is then one well-predicted branch on a cached flag.
#ifndef VEXA_DEBUG_LOG_H
#define VEXA_DEBUG_LOG_H

#include <atomic>
#include <cstdint>

#include "device.h"

// 1 on, 0 off, -1 not yet decided (the environment is read on first use).
extern KX_INTERNAL std::atomic<int> g_debug_state;

KX_INTERNAL bool DebugDecide();

inline bool DebugEnabled() {
  const int state = g_debug_state.load(std::memory_order_relaxed);
  if (__builtin_expect(state == 0, 1)) return false;
  return state > 0 || DebugDecide();
}

// Writes "vexa: " + the formatted text + newline to stderr in one write.
KX_INTERNAL void DebugLine(const char *format, ...) __attribute__((format(printf, 1, 2)));

// One line for a control transfer: setup words, the data stage (sent, or
// received when the transfer succeeded) and the USB layer's result.
KX_INTERNAL void DebugControlTransfer(uint32_t request_type, uint8_t request, uint16_t value,
                                      uint16_t index, const void *data, uint16_t length, int result);

#define VEXA_DEBUG_LOG(...)                     \
  do {                                          \
    if (DebugEnabled()) DebugLine(__VA_ARGS__); \
  } while (0)

#endif  // VEXA_DEBUG_LOG_H
