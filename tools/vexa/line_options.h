// Serial line settings shared by the data commands: --baud, --format,
// --flow and --timeout. Only the settings the user gave are sent to the chip.
#ifndef VEXA_TOOL_LINE_OPTIONS_H
#define VEXA_TOOL_LINE_OPTIONS_H

#include <cstdint>
#include <string>

#include "vexa.h"

namespace CLI {
class App;
}

namespace vexa_tool {

struct LineFormat {
  unsigned char word_length;
  unsigned char stop_bits;
  unsigned char parity;
};

struct FlowSetting {
  unsigned short mode;
  unsigned char xon, xoff;
};

// "8N1", "7E2", ... Throws ToolError on anything else.
LineFormat parse_format(const std::string &text);
// none, rts-cts, dtr-dsr, xon-xoff. Throws ToolError on anything else.
FlowSetting parse_flow(const std::string &text);

// The rates the divisor arithmetic can reach: 184 baud is the slowest, and
// 3000000 plus the 3 % tolerance the fastest.
constexpr long long kMinBaud = 184;
constexpr long long kMaxBaud = 3090000;
// Time-outs up to a day; 0 means wait for ever.
constexpr long long kMaxTimeoutMs = 86400000;

struct LineOptions {
  unsigned long baud = 0;  // 0: leave the chip's rate as it is (0 itself is refused)
  std::string format;      // empty: leave as it is
  std::string flow;        // empty: leave as it is
  uint32_t timeout_ms = 1000;

  // Adds --baud, --format and --flow to a command, and --timeout with that
  // help text unless it is null.
  void add_to(CLI::App &command, const char *timeout_help);
  // Sends the given settings to the chip; throws StatusError or ToolError.
  void apply(KX_HANDLE handle) const;
};

}  // namespace vexa_tool

#endif
