#include "debug_log.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::atomic<int> g_debug_state{-1};

bool DebugDecide() {
  const char *value = std::getenv("VEXA_DEBUG");
  const int state = value && std::strcmp(value, "1") == 0 ? 1 : 0;
  g_debug_state.store(state, std::memory_order_relaxed);
  return state == 1;
}

void DebugLine(const char *format, ...) {
  // One write per line, so lines of concurrent threads do not interleave.
  char line[512] = "vexa: ";
  const size_t prefix = std::strlen(line);
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line + prefix, sizeof line - prefix - 1, format, args);
  va_end(args);
  if (n < 0) return;
  size_t length = prefix + std::min(static_cast<size_t>(n), sizeof line - prefix - 2);
  line[length++] = '\n';
  ssize_t ignored = write(STDERR_FILENO, line, length);
  (void)ignored;
}

void DebugControlTransfer(uint32_t request_type, uint8_t request, uint16_t value, uint16_t index,
                          const void *data, uint16_t length, int result) {
  // Replies are at most a few bytes; EEPROM and string data are cut short.
  constexpr int kShown = 16;
  const bool in = (request_type & 0x80) != 0;
  const int available = in ? (result > 0 ? result : 0) : length;
  const int shown = std::min(available, kShown);
  char bytes[kShown * 3 + 4] = "";
  size_t at = 0;
  for (int i = 0; i < shown; ++i)
    at += static_cast<size_t>(std::snprintf(bytes + at, sizeof bytes - at, " %02x",
                                            static_cast<const uint8_t *>(data)[i]));
  if (available > shown) std::snprintf(bytes + at, sizeof bytes - at, " ..");
  DebugLine("control %s type 0x%02x request 0x%02x value 0x%04x index 0x%04x length %u data [%s ] -> %d",
            in ? "in" : "out", request_type, request, value, index, length, bytes, result);
}
