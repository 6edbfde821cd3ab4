// vexa term: a minimal interactive terminal. The keyboard goes to the chip
// raw, the chip's bytes go to the screen; Ctrl-] quits. Received data wakes
// the display thread through the library's event notification. With input
// from a file or a pipe, it quits once the input has ended and the line has
// been idle for a while, so that the replies to the last bytes are shown.
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <exception>
#include <memory>
#include <ostream>
#include <thread>
#include <vector>

#include "channel.h"
#include "cli_options.h"
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

using Clock = std::chrono::steady_clock;

struct TermOptions {
  std::string device;
  LineOptions line;
  bool echo = false;     // show typed keys on the screen
  bool map = false;      // CR/LF translation both ways
  uint32_t idle_ms = 500;
};

// Received bytes for the screen: with --map a lone LF starts a new line.
std::string to_screen(const char *data, size_t n, bool map) {
  if (!map) return std::string(data, n);
  std::string shown;
  for (size_t i = 0; i < n; ++i) {
    if (data[i] == '\n') shown += '\r';
    shown += data[i];
  }
  return shown;
}

// Keys for the chip: with --map, Enter (CR) and LF each go out as CR LF; a
// CR LF pair typed or piped in stays one CR LF.
std::string to_chip(const char *data, size_t n, bool map, char *previous) {
  if (!map) return std::string(data, n);
  std::string sent;
  for (size_t i = 0; i < n; ++i) {
    const char c = data[i];
    if (c == '\n' && *previous == '\r') {
      // already sent as CR LF
    } else if (c == '\r' || c == '\n') {
      sent += "\r\n";
    } else {
      sent += c;
    }
    *previous = c;
  }
  return sent;
}

// Copies received bytes to the screen until interrupted; notes when the
// last ones came.
void display_loop(Channel &channel, int out_fd, bool map, std::atomic<Clock::rep> &last_rx) {
  std::vector<char> buffer;
  for (;;) {
    const uint32_t queued = channel.wait_for_data(0);
    if (queued == 0) return;
    buffer.resize(queued);
    uint32_t got = 0;
    check(KX_Read(channel.handle(), buffer.data(), queued, &got), "cannot read from " + channel.name());
    last_rx.store(Clock::now().time_since_epoch().count());
    const std::string shown = to_screen(buffer.data(), got, map);
    write_fd(out_fd, shown.data(), shown.size());
  }
}

// Sends keystrokes until the quit key or the end of input.
void keyboard_loop(Channel &channel, int in_fd, int out_fd, const TermOptions &opts) {
  char keys[256];
  char previous = 0;
  for (;;) {
    ssize_t n = ::read(in_fd, keys, sizeof keys);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    ssize_t send = 0;
    while (send < n && keys[send] != kQuitKey) ++send;
    const std::string out = to_chip(keys, static_cast<size_t>(send), opts.map, &previous);
    uint32_t written = 0;
    if (!out.empty())
      check(KX_Write(channel.handle(), out.data(), static_cast<uint32_t>(out.size()), &written),
            "cannot write to " + channel.name());
    if (opts.echo && !out.empty()) {
      const std::string shown = to_screen(out.data(), out.size(), opts.map);
      write_fd(out_fd, shown.data(), shown.size());
    }
    if (send < n) return;
  }
}

// Sleeps until nothing has been received for idle_ms. Each sleep ends at
// the moment the line would have been idle long enough, so it wakes at most
// once per byte burst.
void wait_until_idle(const std::atomic<Clock::rep> &last_rx, uint32_t idle_ms) {
  const auto idle = std::chrono::milliseconds(idle_ms);
  Clock::time_point quiet_since = Clock::now();
  for (;;) {
    const Clock::time_point last{Clock::duration(last_rx.load())};
    if (last > quiet_since) quiet_since = last;
    if (Clock::now() >= quiet_since + idle) return;
    std::this_thread::sleep_until(quiet_since + idle);
  }
}

void term(Context &ctx, const TermOptions &opts) {
  Channel channel(opts.device);
  opts.line.apply(channel.handle());
  channel.enable_rx_events();
  ctx.err << "vexa: connected to " << opts.device << "; press Ctrl-] to quit\r" << std::endl;

  const bool keyboard = isatty(ctx.in_fd) == 1;
  RawMode raw(ctx.in_fd);
  std::atomic<Clock::rep> last_rx{Clock::now().time_since_epoch().count()};
  std::exception_ptr display_failure;
  std::thread display([&]() {
    try {
      display_loop(channel, ctx.out_fd, opts.map, last_rx);
    } catch (...) {
      display_failure = std::current_exception();
    }
  });
  std::exception_ptr keyboard_failure;
  try {
    keyboard_loop(channel, ctx.in_fd, ctx.out_fd, opts);
    if (!keyboard) wait_until_idle(last_rx, opts.idle_ms);
  } catch (...) {
    keyboard_failure = std::current_exception();
  }
  channel.interrupt();
  display.join();
  // The shell's prompt starts on a line of its own.
  if (isatty(ctx.out_fd) == 1)
    write_fd(ctx.out_fd, "\r\n", 2);
  else
    ctx.err << std::endl;
  if (keyboard_failure) std::rethrow_exception(keyboard_failure);
  if (display_failure) std::rethrow_exception(display_failure);
}

}  // namespace

void add_term_command(CLI::App &app, Context &ctx) {
  auto opts = std::make_shared<TermOptions>();
  CLI::App *cmd = app.add_subcommand("term", "Interactive terminal: keys to the chip, the chip to the screen; Ctrl-] quits");
  add_device_argument(*cmd, opts->device);
  opts->line.add_to(*cmd, nullptr);
  cmd->add_flag("--echo", opts->echo, "Show typed keys on the screen (local echo)");
  cmd->add_flag("--map", opts->map, "Send Enter as CR LF, show a received LF as a new line");
  cmd->add_option("--idle", opts->idle_ms,
                  "With input from a file or pipe: quit once the line has been idle this many ms")
      ->check(in_range(0, kMaxTimeoutMs))
      ->capture_default_str();
  cmd->callback([&ctx, opts]() { term(ctx, *opts); });
}

}  // namespace vexa_tool
