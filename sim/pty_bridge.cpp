// Pseudo-terminal bridge: every simulated channel gets a host pty, so a person
// can talk to an application through any terminal program. Bytes written to
// the pty arrive at the application through bulk IN; bytes the application
// writes come out of the pty. Two threads per channel, each blocked in a wait
// (poll on the pty, or the simulator's transmit wait), never spinning.
//
// The serial settings the application gives the chip (rate, data bits,
// parity, stop bits, flow control) are mirrored on the pty's termios.
// Pseudo-terminals carry no modem lines, so the chip's modem status is left
// as the simulator has it.
//
// Nothing is lost at the end: closing a handle and leaving the process both
// wait until what the application wrote has been read from the pty, and
// what was typed into the pty before is handed to the chip.
#include "pty_bridge.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pty_line.h"
#include "sim_model.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long a transmit wait lasts before the thread looks at the stop flag;
// it bounds the delay at process exit only.
constexpr int kTxWaitMs = 50;
// A drain gives up when no byte has moved for this long (nobody reads the pty).
constexpr auto kDrainPatience = std::chrono::seconds(2);
// How often a drain looks at the queues. Draining happens only at close and
// exit, and the kernel offers no wake-up for "the pty's queue is empty".
constexpr auto kDrainStep = std::chrono::milliseconds(5);

struct ChannelPty {
  int chip = 0;
  int channel = 0;
  int master = -1;
  int slave = -1;  // held open so the master never reads end-of-file
  std::string name, link;
  bool baud_known = false;  // a divisor request has been seen
  std::atomic<size_t> in_hand{0};  // taken from the chip, not yet in the pty
  bool abandoned = false;           // a drain gave up: nobody reads
  std::thread to_chip, to_pty;
};

struct Bridge {
  std::vector<std::unique_ptr<ChannelPty>> channels;
  std::atomic<bool> stop{false};
  int wake[2] = {-1, -1};  // written once at exit to end every poll
  std::mutex drain_mutex;  // one drain at a time
};

std::atomic<Bridge *> g_bridge{nullptr};

bool open_pty(ChannelPty &c) {
  c.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (c.master < 0) return false;
  if (grantpt(c.master) != 0 || unlockpt(c.master) != 0) return false;
  const char *name = ptsname(c.master);
  if (!name) return false;
  c.name = name;
  c.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (c.slave < 0) return false;
  // Raw, so that the line discipline neither echoes nor rewrites bytes
  // before a terminal program sets its own mode.
  termios raw;
  if (tcgetattr(c.slave, &raw) == 0) {
    cfmakeraw(&raw);
    tcsetattr(c.slave, TCSANOW, &raw);
  }
  fcntl(c.master, F_SETFL, fcntl(c.master, F_GETFL) | O_NONBLOCK);
  return true;
}

// PATH for the first chip's only channel, PATH-A / PATH-B for a dual chip;
// later chips add their number (PATH-1, PATH-1-A).
std::string link_name(const std::string &base, int chip, int channel, int channels) {
  std::string name = base;
  if (chip > 0) name += "-" + std::to_string(chip);
  if (channels > 1) name += std::string("-") + static_cast<char>('A' + channel);
  return name;
}

void make_link(ChannelPty &c, const std::string &path) {
  struct stat st;
  // A stale link from an earlier run is replaced; anything else is kept.
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      std::fprintf(stderr, "vexa-sim: not linking %s: it exists and is not a symbolic link\n", path.c_str());
      return;
    }
    unlink(path.c_str());
  }
  if (symlink(c.name.c_str(), path.c_str()) != 0) {
    std::fprintf(stderr, "vexa-sim: cannot link %s to %s: %s\n", path.c_str(), c.name.c_str(),
                 std::strerror(errno));
    return;
  }
  c.link = path;
}

void remove_link(const ChannelPty &c) {
  if (c.link.empty()) return;
  char target[256];
  const ssize_t n = readlink(c.link.c_str(), target, sizeof target - 1);
  // Only our own link: another run may have taken the name since.
  if (n > 0 && c.name == std::string(target, static_cast<size_t>(n))) unlink(c.link.c_str());
}

// Waits until fd is ready for `events` or the bridge stops; false on stop.
bool wait_ready(const Bridge &b, int fd, short events) {
  for (;;) {
    pollfd fds[2] = {{fd, events, 0}, {b.wake[0], POLLIN, 0}};
    int n = poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (fds[1].revents & POLLIN) || b.stop.load()) return false;
    if (fds[0].revents & (events | POLLERR | POLLHUP)) return true;
  }
}

// Hands whatever the pty holds to the chip; false when the pty is gone.
bool offer_to_chip(ChannelPty *c) {
  char buffer[4096];
  for (;;) {
    ssize_t n = read(c->master, buffer, sizeof buffer);
    if (n > 0) {
      vexa_sim_queue_rx(c->chip, c->channel, buffer, static_cast<size_t>(n));
    } else {
      return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
  }
}

// The terminal's keystrokes become bytes the chip receives.
void pump_to_chip(Bridge *b, ChannelPty *c) {
  while (wait_ready(*b, c->master, POLLIN))
    if (!offer_to_chip(c)) return;
}

// What the application writes is shown on the terminal.
void pump_to_pty(Bridge *b, ChannelPty *c) {
  char buffer[4096];
  while (!b->stop.load()) {
    const Clock::time_point start = Clock::now();
    if (vexa_sim_wait_tx(c->chip, c->channel, kTxWaitMs) == 0) {
      // An empty wait that ended early means the chip was unplugged.
      if (Clock::now() - start < std::chrono::milliseconds(kTxWaitMs)) return;
      continue;
    }
    size_t n = vexa_sim_take_tx(c->chip, c->channel, buffer, sizeof buffer);
    c->in_hand.store(n);
    const char *p = buffer;
    while (n > 0) {
      ssize_t w = write(c->master, p, n);
      if (w > 0) {
        p += w;
        n -= static_cast<size_t>(w);
        c->in_hand.store(n);
      } else if (w < 0 && errno == EAGAIN) {
        if (!wait_ready(*b, c->master, POLLOUT)) return;
      } else if (!(w < 0 && errno == EINTR)) {
        c->in_hand.store(0);
        return;
      }
    }
  }
}

// Bytes the application wrote that the pty's reader has not read yet.
size_t undelivered(const ChannelPty &c) {
  int queued = 0;
  if (ioctl(c.slave, FIONREAD, &queued) != 0) queued = 0;
  return vexa_sim_tx_pending(c.chip, c.channel) + c.in_hand.load() + static_cast<size_t>(queued);
}

void drain_channel(ChannelPty &c) {
  size_t left = undelivered(c);
  if (left == 0 || c.abandoned) return;
  Clock::time_point last_progress = Clock::now();
  while (left > 0) {
    std::this_thread::sleep_for(kDrainStep);
    const size_t now_left = undelivered(c);
    if (now_left < left) last_progress = Clock::now();
    left = now_left;
    if (left > 0 && Clock::now() - last_progress > kDrainPatience) {
      std::fprintf(stderr, "vexa-sim: %zu bytes for %s were not read\n", left, c.name.c_str());
      c.abandoned = true;
      return;
    }
  }
}

// Mirrors a changed setting on the channel's pty. Runs with the simulator's
// lock held, so it reads the chip directly and calls no control function.
void on_line_settings(const vexa_sim::Chip &chip, int channel, int request) {
  Bridge *b = g_bridge.load();
  if (!b) return;
  for (auto &c : b->channels) {
    if (c->chip != chip.id || c->channel != channel) continue;
    const vexa_sim_channel_state &st = chip.channels[static_cast<size_t>(channel)].state;
    if (request == 3) c->baud_known = true;
    const unsigned long baud =
        c->baud_known ? divisor_to_baud(st.divisor, st.divisor_index, vexa_sim::chip_has_timer_requests(chip),
                                        chip.bcd == 0x0500)
                      : 0;
    termios t;
    if (tcgetattr(c->slave, &t) != 0) return;
    apply_line_state(st, baud, &t);
    tcsetattr(c->slave, TCSANOW, &t);
  }
}

// Runs before the simulator's own statics are destroyed, so no thread is
// left waiting on them.
void stop_bridge() {
  Bridge *b = g_bridge.load();
  if (!b) return;
  {
    std::lock_guard<std::mutex> drain(b->drain_mutex);
    for (auto &c : b->channels) drain_channel(*c);
  }
  {
    std::lock_guard<std::mutex> lock(vexa_sim::sim().mutex);
    vexa_sim::sim().on_line_settings = nullptr;
    g_bridge.store(nullptr);
  }
  b->stop.store(true);
  const char byte = 0;
  if (write(b->wake[1], &byte, 1) < 0) {
    // The pipe is empty and ours; a failure here leaves nothing to recover.
  }
  for (auto &c : b->channels) {
    if (c->to_chip.joinable()) c->to_chip.join();
    if (c->to_pty.joinable()) c->to_pty.join();
    offer_to_chip(c.get());  // typed just before the end
    remove_link(*c);
    close(c->master);
    close(c->slave);
  }
  close(b->wake[0]);
  close(b->wake[1]);
  delete b;
}

}  // namespace

void vexa_sim_pty_bridge_drain(int chip) {
  Bridge *b = g_bridge.load();
  if (!b) return;
  std::lock_guard<std::mutex> drain(b->drain_mutex);
  for (auto &c : b->channels)
    if (c->chip == chip) drain_channel(*c);
}

void vexa_sim_pty_bridge_start(void) {
  if (g_bridge.load()) return;
  auto bridge = std::make_unique<Bridge>();
  if (pipe2(bridge->wake, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "vexa-sim: cannot start the pty bridge: %s\n", std::strerror(errno));
    return;
  }
  const char *link_base = std::getenv("VEXA_SIM_PTY_LINK");
  vexa_sim_channel_state state;
  for (int chip = 0; vexa_sim_get_state(chip, 0, &state) == 0; ++chip) {
    int channels = 0;
    while (vexa_sim_get_state(chip, channels, &state) == 0) ++channels;
    for (int channel = 0; channel < channels; ++channel) {
      auto c = std::make_unique<ChannelPty>();
      c->chip = chip;
      c->channel = channel;
      if (!open_pty(*c)) {
        std::fprintf(stderr, "vexa-sim: no pseudo-terminal for chip %d channel %c: %s\n", chip,
                     'A' + channel, std::strerror(errno));
        if (c->master >= 0) close(c->master);
        if (c->slave >= 0) close(c->slave);
        continue;
      }
      if (link_base && *link_base) make_link(*c, link_name(link_base, chip, channel, channels));
      std::fprintf(stderr, "vexa-sim: chip %d channel %c: %s%s%s\n", chip, 'A' + channel,
                   c->name.c_str(), c->link.empty() ? "" : " linked as ", c->link.c_str());
      bridge->channels.push_back(std::move(c));
    }
  }
  std::fflush(stderr);
  Bridge *b = bridge.release();
  {
    std::lock_guard<std::mutex> lock(vexa_sim::sim().mutex);
    g_bridge.store(b);
    vexa_sim::sim().on_line_settings = on_line_settings;
  }
  for (auto &c : b->channels) {
    c->to_chip = std::thread(pump_to_chip, b, c.get());
    c->to_pty = std::thread(pump_to_pty, b, c.get());
  }
  // Stopped at exit by a static made now, after the simulator's own state:
  // statics are destroyed in the reverse order of their making, so the
  // bridge drains and stops while the chips still exist.
  static const struct Stopper {
    ~Stopper() { stop_bridge(); }
  } stopper;
  (void)stopper;
}
