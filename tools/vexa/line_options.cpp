#include "line_options.h"

#include <CLI/CLI.hpp>
#include <cctype>

#include "cli_options.h"
#include "context.h"

namespace vexa_tool {

LineFormat parse_format(const std::string &text) {
  auto bad = [&]() {
    return ToolError("invalid --format '" + text +
                     "': expected data bits (5-8), parity (N, O, E, M, S) and stop bits (1, 2), e.g. 8N1");
  };
  if (text.size() != 3) throw bad();
  LineFormat f{};
  if (text[0] < '5' || text[0] > '8') throw bad();
  f.word_length = static_cast<unsigned char>(text[0] - '0');
  switch (std::toupper(static_cast<unsigned char>(text[1]))) {
    case 'N': f.parity = KX_PARITY_NONE; break;
    case 'O': f.parity = KX_PARITY_ODD; break;
    case 'E': f.parity = KX_PARITY_EVEN; break;
    case 'M': f.parity = KX_PARITY_MARK; break;
    case 'S': f.parity = KX_PARITY_SPACE; break;
    default: throw bad();
  }
  if (text[2] == '1')
    f.stop_bits = KX_STOP_BITS_1;
  else if (text[2] == '2')
    f.stop_bits = KX_STOP_BITS_2;
  else
    throw bad();
  return f;
}

FlowSetting parse_flow(const std::string &text) {
  if (text == "none") return {KX_FLOW_NONE, 0, 0};
  if (text == "rts-cts") return {KX_FLOW_RTS_CTS, 0, 0};
  if (text == "dtr-dsr") return {KX_FLOW_DTR_DSR, 0, 0};
  if (text == "xon-xoff") return {KX_FLOW_XON_XOFF, 0x11, 0x13};  // DC1 / DC3
  throw ToolError("invalid --flow '" + text + "': expected none, rts-cts, dtr-dsr or xon-xoff");
}

namespace {

// A CLI11 check that runs one of the parsers above on the option's text.
template <typename Parse>
CLI::Validator parsed_by(Parse parse) {
  return CLI::Validator(
      [parse](std::string &text) -> std::string {
        try {
          parse(text);
        } catch (const ToolError &e) {
          return e.what();
        }
        return std::string();
      },
      "");
}

}  // namespace

void LineOptions::add_to(CLI::App &command, const char *timeout_help) {
  command.add_option("--baud", baud, "Baud rate to set (default: leave unchanged)")
      ->check(in_range(kMinBaud, kMaxBaud));
  command.add_option("--format", format, "Data bits, parity, stop bits, e.g. 8N1 or 7E2")
      ->check(parsed_by(parse_format));
  command.add_option("--flow", flow, "Flow control: none, rts-cts, dtr-dsr or xon-xoff")
      ->check(parsed_by(parse_flow));
  if (timeout_help)
    command.add_option("--timeout", timeout_ms, timeout_help)
        ->check(in_range(0, kMaxTimeoutMs))
        ->capture_default_str();
}

void LineOptions::apply(KX_HANDLE handle) const {
  // Parse everything before sending anything, so that a typo changes nothing.
  LineFormat f{};
  FlowSetting fl{};
  if (!format.empty()) f = parse_format(format);
  if (!flow.empty()) fl = parse_flow(flow);
  if (baud != 0) {
    KX_STATUS status = KX_SetBaudRate(handle, baud);
    if (status == KX_ERR_BAUD_RATE)
      throw ToolError("cannot set baud rate " + std::to_string(baud) +
                      ": no divisor of the chip comes within 3 % of it (the chip reaches " +
                      std::to_string(kMinBaud) + " to 3000000 baud, with gaps between the fastest rates)");
    check(status, "cannot set baud rate " + std::to_string(baud));
  }
  if (!format.empty())
    check(KX_SetDataCharacteristics(handle, f.word_length, f.stop_bits, f.parity),
          "cannot set line format " + format);
  if (!flow.empty())
    check(KX_SetFlowControl(handle, fl.mode, fl.xon, fl.xoff), "cannot set flow control " + flow);
}

}  // namespace vexa_tool
