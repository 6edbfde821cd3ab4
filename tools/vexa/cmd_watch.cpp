// vexa watch: prints the modem status, then every change as the chip reports
// it, until interrupted (Ctrl-C) or --count changes were seen. Changes wake
// the tool through the library's event notification.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <mutex>
#include <ostream>

#include "channel.h"
#include "cli_options.h"
#include "commands.h"
#include "interrupt.h"

namespace vexa_tool {
namespace {

std::string describe_modem(unsigned long status) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02lx", status);
  return std::string(hex) + " (" + modem_bits(status) + ")";
}

void watch(Context &ctx, const std::string &device, unsigned count) {
  // Ctrl-C ends the wait through the channel; the watch must outlive it.
  Channel *open_channel = nullptr;
  std::mutex guard;
  InterruptWatch interrupt([&]() {
    std::lock_guard<std::mutex> lock(guard);
    if (open_channel) open_channel->interrupt();
  });
  Channel channel(device);
  {
    std::lock_guard<std::mutex> lock(guard);
    open_channel = &channel;
  }
  channel.enable_modem_events();
  unsigned long status = 0;
  check(KX_GetModemStatus(channel.handle(), &status), "cannot read the modem status of " + device);
  ctx.out << "modem status " << describe_modem(status) << std::endl;
  for (unsigned seen = 0; count == 0 || seen < count;) {
    if (!channel.wait_for_modem_change()) break;
    check(KX_GetModemStatus(channel.handle(), &status), "cannot read the modem status of " + device);
    ctx.out << "modem status " << describe_modem(status) << std::endl;
    ++seen;
  }
  std::lock_guard<std::mutex> lock(guard);
  open_channel = nullptr;
}

}  // namespace

void add_watch_command(CLI::App &app, Context &ctx) {
  auto device = std::make_shared<std::string>();
  auto count = std::make_shared<unsigned>(0);
  CLI::App *cmd = app.add_subcommand("watch", "Print modem-status changes as they happen, until Ctrl-C");
  add_device_argument(*cmd, *device);
  cmd->add_option("--count", *count, "Stop after this many changes (0: until interrupted)")
      ->check(in_range(0, 1000000))
      ->capture_default_str();
  cmd->callback([&ctx, device, count]() { watch(ctx, *device, *count); });
}

}  // namespace vexa_tool
