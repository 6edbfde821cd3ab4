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
