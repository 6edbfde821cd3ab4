// vexa send, recv, loopback: moving bytes through a channel.
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <istream>
#include <memory>
#include <ostream>
#include <vector>

#include "channel.h"
#include "cli_options.h"
#include "commands.h"
#include "line_options.h"
#include "progress.h"

namespace vexa_tool {
namespace {

constexpr uint32_t kChunk = 4096;

struct TransferOptions {
  std::string device;
  LineOptions line;
  uint64_t bytes = 0;
};

void open_and_configure(Channel &channel, const LineOptions &line) {
  line.apply(channel.handle());
  check(KX_SetTimeouts(channel.handle(), line.timeout_ms, line.timeout_ms),
        "cannot set the time-outs of " + channel.name());
}

void write_all(const Channel &channel, const uint8_t *data, uint32_t n) {
  while (n > 0) {
    uint32_t written = 0;
    check(KX_Write(channel.handle(), data, n, &written), "cannot write to " + channel.name());
    if (written == 0) throw ToolError("the chip accepted no data on " + channel.name());
    data += written;
    n -= written;
  }
}

uint64_t input_size(int fd) {
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return static_cast<uint64_t>(st.st_size);
  return 0;
}

void send(Context &ctx, const TransferOptions &opts) {
  Channel channel(opts.device);
  open_and_configure(channel, opts.line);
  Progress progress(ctx.err, ctx.err_is_tty, input_size(ctx.in_fd));
  std::vector<char> buffer(kChunk);
  uint64_t total = 0;
  while (ctx.in) {
    ctx.in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const auto got = static_cast<uint32_t>(ctx.in.gcount());
    if (got == 0) break;
    write_all(channel, reinterpret_cast<const uint8_t *>(buffer.data()), got);
    total += got;
    progress.update(total);
  }
  progress.finish();
  ctx.err << "sent " << total << " bytes to " << opts.device << '\n';
}

// With a byte count: every byte must come within the time-out of the last.
void receive_count(Context &ctx, Channel &channel, uint64_t count, uint32_t timeout_ms) {
  Progress progress(ctx.err, ctx.err_is_tty, count);
  std::vector<char> buffer(kChunk);
  uint64_t total = 0;
  while (total < count) {
    const auto want = static_cast<uint32_t>(std::min<uint64_t>(kChunk, count - total));
    uint32_t got = 0;
    KX_STATUS status = KX_Read(channel.handle(), buffer.data(), want, &got);
    ctx.out.write(buffer.data(), got);
    total += got;
    progress.update(total);
    // The library reports an expired read time-out as an I/O failure.
    if (status == KX_ERR_IO)
      throw ToolError("timed out: received " + std::to_string(total) + " of " +
                      std::to_string(count) + " bytes from " + channel.name() +
                      " (no byte for " + std::to_string(timeout_ms) + " ms)");
    check(status, "received " + std::to_string(total) + " of " + std::to_string(count) +
                      " bytes from " + channel.name());
  }
}

// Without a count: whatever arrives until the line has been idle for the
// time-out; with time-out 0, for ever (until interrupted).
void receive_until_idle(Context &ctx, Channel &channel, uint32_t idle_ms) {
  channel.enable_rx_events();
  std::vector<char> buffer;
  for (;;) {
    const uint32_t queued = channel.wait_for_data(idle_ms);
    if (queued == 0) return;
    buffer.resize(queued);
    uint32_t got = 0;
    check(KX_Read(channel.handle(), buffer.data(), queued, &got), "cannot read from " + channel.name());
    ctx.out.write(buffer.data(), got);
    ctx.out.flush();
  }
}

void recv(Context &ctx, const TransferOptions &opts) {
  Channel channel(opts.device);
  open_and_configure(channel, opts.line);
  if (opts.bytes > 0)
    receive_count(ctx, channel, opts.bytes, opts.line.timeout_ms);
  else
    receive_until_idle(ctx, channel, opts.line.timeout_ms);
  ctx.out.flush();
}

uint8_t pattern_byte(uint64_t i) { return static_cast<uint8_t>(i * 31 + (i >> 8)); }

void loopback(Context &ctx, const TransferOptions &opts) {
  Channel channel(opts.device);
  open_and_configure(channel, opts.line);
  // Stale bytes from before would read as errors.
  check(KX_Purge(channel.handle(), KX_PURGE_RX | KX_PURGE_TX), "cannot purge " + opts.device);

  Progress progress(ctx.err, ctx.err_is_tty, opts.bytes);
  std::vector<uint8_t> out(kChunk), in(kChunk);
  uint64_t sent = 0, received = 0, errors = 0;
  KX_STATUS last = KX_OK;
  const auto start = std::chrono::steady_clock::now();
  while (sent < opts.bytes && last == KX_OK) {
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(kChunk, opts.bytes - sent));
    for (uint32_t i = 0; i < n; ++i) out[i] = pattern_byte(sent + i);
    write_all(channel, out.data(), n);
    uint32_t got = 0;
    last = KX_Read(channel.handle(), in.data(), n, &got);
    if (last != KX_OK && last != KX_ERR_IO) check(last, "cannot read from " + opts.device);
    for (uint32_t i = 0; i < got; ++i)
      if (in[i] != out[i]) ++errors;
    sent += n;
    received += got;
    progress.update(received);
  }
  progress.finish();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const uint64_t missing = sent - received;
  ctx.out << "loopback: " << sent << " bytes sent, " << received << " received, " << errors
          << " errors, " << missing << " missing, "
          << format_rate(seconds > 0 ? static_cast<double>(received) / seconds : 0.0) << '\n';
  if (errors > 0 || missing > 0)
    throw ToolError("loopback failed on " + opts.device + ": " + std::to_string(errors) +
                    " bytes differ, " + std::to_string(missing) + " missing");
}

// Counts of bytes to move: at least one, at most a tebibyte.
constexpr long long kMaxBytes = 1LL << 40;

CLI::App *add_transfer(CLI::App &app, const char *name, const char *help, const char *timeout_help,
                       const std::shared_ptr<TransferOptions> &opts) {
  CLI::App *cmd = app.add_subcommand(name, help);
  add_device_argument(*cmd, opts->device);
  opts->line.add_to(*cmd, timeout_help);
  return cmd;
}

}  // namespace

void add_transfer_commands(CLI::App &app, Context &ctx) {
  auto send_opts = std::make_shared<TransferOptions>();
  add_transfer(app, "send", "Send stdin to the chip",
               "Write time-out in milliseconds, as KX_SetTimeouts stores it (0: none)",
               send_opts)
      ->callback([&ctx, send_opts]() { send(ctx, *send_opts); });

  auto recv_opts = std::make_shared<TransferOptions>();
  CLI::App *recv_cmd = add_transfer(
      app, "recv", "Copy what the chip receives to stdout, until --bytes arrived or the line is idle for --timeout ms",
      "Read time-out in milliseconds: the longest gap between bytes (0: wait for ever)", recv_opts);
  recv_cmd->add_option("--bytes", recv_opts->bytes, "Stop after this many bytes (a shortfall is an error)")
      ->check(in_range(1, kMaxBytes));
  recv_cmd->callback([&ctx, recv_opts]() { recv(ctx, *recv_opts); });

  auto loop_opts = std::make_shared<TransferOptions>();
  loop_opts->bytes = 65536;
  CLI::App *loop_cmd = add_transfer(
      app, "loopback", "Write a pattern and read it back (needs a loopback plug); report throughput and errors",
      "Read and write time-out in milliseconds (0: wait for ever)", loop_opts);
  loop_cmd->add_option("--bytes", loop_opts->bytes, "Bytes to send")
      ->check(in_range(1, kMaxBytes))
      ->capture_default_str();
  loop_cmd->callback([&ctx, loop_opts]() { loopback(ctx, *loop_opts); });
}

}  // namespace vexa_tool
