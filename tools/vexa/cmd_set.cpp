// vexa set: changes a channel's line settings and modem lines, sends a
// break, sets the latency timer or a bit mode, and leaves them so.
#include <CLI/CLI.hpp>
#include <chrono>
#include <memory>
#include <ostream>
#include <thread>

#include "channel.h"
#include "cli_options.h"
#include "commands.h"
#include "line_options.h"

namespace vexa_tool {
namespace {

struct SetOptions {
  std::string device;
  LineOptions line;
  int dtr = -1, rts = -1;  // -1: leave as it is
  unsigned break_ms = 0;
  int latency_ms = -1;
  std::string bit_mode;    // MASK:MODE
};

// "MASK:MODE", two bytes in hexadecimal (e.g. ff:01).
bool parse_bit_mode(const std::string &text, unsigned char *mask, unsigned char *mode) {
  uint32_t a = 0, b = 0;
  if (!parse_vid_pid(text, &a, &b) || a > 0xFF || b > 0xFF) return false;
  *mask = static_cast<unsigned char>(a);
  *mode = static_cast<unsigned char>(b);
  return true;
}

void set(Context &ctx, const SetOptions &opts) {
  Channel channel(opts.device);
  KX_HANDLE h = channel.handle();
  const std::string &name = opts.device;
  opts.line.apply(h);
  if (opts.dtr >= 0) check(opts.dtr ? KX_SetDtr(h) : KX_ClrDtr(h), "cannot set DTR of " + name);
  if (opts.rts >= 0) check(opts.rts ? KX_SetRts(h) : KX_ClrRts(h), "cannot set RTS of " + name);
  if (opts.latency_ms >= 0)
    check(KX_SetLatencyTimer(h, static_cast<unsigned char>(opts.latency_ms)),
          "cannot set the latency timer of " + name);
  if (!opts.bit_mode.empty()) {
    unsigned char mask = 0, mode = 0;
    parse_bit_mode(opts.bit_mode, &mask, &mode);
    check(KX_SetBitMode(h, mask, mode), "cannot set bit mode " + opts.bit_mode + " on " + name);
  }
  if (opts.break_ms > 0) {
    check(KX_SetBreakOn(h), "cannot start a break on " + name);
    std::this_thread::sleep_for(std::chrono::milliseconds(opts.break_ms));
    check(KX_SetBreakOff(h), "cannot end the break on " + name);
  }
  ctx.out << "set " << name << '\n';
}

}  // namespace

void add_set_command(CLI::App &app, Context &ctx) {
  auto opts = std::make_shared<SetOptions>();
  CLI::App *cmd = app.add_subcommand(
      "set", "Set line settings, DTR and RTS, the latency timer or a bit mode; send a break");
  add_device_argument(*cmd, opts->device);
  opts->line.add_to(*cmd, nullptr);
  cmd->add_option("--dtr", opts->dtr, "Raise (1) or drop (0) DTR")->check(in_range(0, 1));
  cmd->add_option("--rts", opts->rts, "Raise (1) or drop (0) RTS")->check(in_range(0, 1));
  cmd->add_option("--break", opts->break_ms, "Send a break lasting MS milliseconds")
      ->type_name("MS")
      ->check(in_range(1, 60000));
  cmd->add_option("--latency", opts->latency_ms, "Latency timer in milliseconds")
      ->type_name("MS")
      ->check(in_range(1, 255));
  cmd->add_option("--bit-mode", opts->bit_mode, "Bit mode as MASK:MODE in hexadecimal, e.g. ff:01")
      ->type_name("MASK:MODE")
      ->check(CLI::Validator(
          [](std::string &text) -> std::string {
            unsigned char mask = 0, mode = 0;
            if (!parse_bit_mode(text, &mask, &mode))
              return "'" + text + "' is not MASK:MODE (two hexadecimal bytes, e.g. ff:01)";
            return std::string();
          },
          ""));
  cmd->callback([&ctx, opts]() { set(ctx, *opts); });
}

}  // namespace vexa_tool
