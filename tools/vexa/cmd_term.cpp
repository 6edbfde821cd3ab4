// vexa term: a minimal interactive terminal. The keyboard goes to the chip
// raw, the chip's bytes go to the screen; Ctrl-] quits. Received data wakes
// the display thread through the library's event notification.
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <exception>
#include <memory>
#include <ostream>
#include <thread>
#include <vector>

#include "channel.h"
#include "commands.h"
#include "line_options.h"

namespace vexa_tool {
namespace {

constexpr char kQuitKey = 0x1d;  // Ctrl-]

// Puts a terminal into raw mode for the lifetime of the object.
class RawMode {
 public:
  explicit RawMode(int fd) : fd_(fd) {
    if (!isatty(fd) || tcgetattr(fd, &saved_) != 0) return;
    termios raw = saved_;
    cfmakeraw(&raw);
    active_ = tcsetattr(fd, TCSANOW, &raw) == 0;
  }
  ~RawMode() {
    if (active_) tcsetattr(fd_, TCSANOW, &saved_);
  }
  RawMode(const RawMode &) = delete;
  RawMode &operator=(const RawMode &) = delete;

 private:
  int fd_;
  bool active_ = false;
  termios saved_{};
};

void write_fd(int fd, const char *data, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) throw ToolError("cannot write to the screen");
    data += w;
    n -= static_cast<size_t>(w);
  }
}

// Copies received bytes to the screen until interrupted.
void display_loop(Channel &channel, int out_fd) {
  std::vector<char> buffer;
  for (;;) {
    const uint32_t queued = channel.wait_for_data(0);
    if (queued == 0) return;
    buffer.resize(queued);
    uint32_t got = 0;
    check(KX_Read(channel.handle(), buffer.data(), queued, &got), "cannot read from " + channel.name());
    write_fd(out_fd, buffer.data(), got);
  }
}

// Sends keystrokes until the quit key or the end of input.
void keyboard_loop(Channel &channel, int in_fd) {
  char keys[256];
  for (;;) {
    ssize_t n = ::read(in_fd, keys, sizeof keys);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    ssize_t send = 0;
    while (send < n && keys[send] != kQuitKey) ++send;
    uint32_t written = 0;
    if (send > 0)
      check(KX_Write(channel.handle(), keys, static_cast<uint32_t>(send), &written),
            "cannot write to " + channel.name());
    if (send < n) return;
  }
}

void term(Context &ctx, const std::string &device, const LineOptions &line) {
  Channel channel(device);
  line.apply(channel.handle());
  channel.enable_rx_events();
  ctx.err << "vexa: connected to " << device << "; press Ctrl-] to quit\r" << std::endl;

  RawMode raw(ctx.in_fd);
  std::exception_ptr display_failure;
  std::thread display([&]() {
    try {
      display_loop(channel, ctx.out_fd);
    } catch (...) {
      display_failure = std::current_exception();
    }
  });
  std::exception_ptr keyboard_failure;
  try {
    keyboard_loop(channel, ctx.in_fd);
  } catch (...) {
    keyboard_failure = std::current_exception();
  }
  channel.interrupt();
  display.join();
  if (keyboard_failure) std::rethrow_exception(keyboard_failure);
  if (display_failure) std::rethrow_exception(display_failure);
}

}  // namespace

void add_term_command(CLI::App &app, Context &ctx) {
  auto device = std::make_shared<std::string>();
  auto line = std::make_shared<LineOptions>();
  CLI::App *cmd = app.add_subcommand("term", "Interactive terminal: keys to the chip, the chip to the screen; Ctrl-] quits");
  cmd->add_option("DEVICE", *device, "Channel index, serial:TEXT or desc:TEXT")->required();
  line->add_to(*cmd);
  cmd->callback([&ctx, device, line]() { term(ctx, *device, *line); });
}

}  // namespace vexa_tool
