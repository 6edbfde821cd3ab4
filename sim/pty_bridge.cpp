// Pseudo-terminal bridge: every simulated channel gets a host pty, so a person
// can talk to an application through any terminal program. Bytes written to
// the pty arrive at the application through bulk IN; bytes the application
// writes come out of the pty. Two threads per channel, each blocked in a wait
// (poll on the pty, or the simulator's transmit wait), never spinning.
//
// Pseudo-terminals carry no modem lines, so the chip's modem status is left
// as the simulator has it.
#include "pty_bridge.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vexa_sim.h"

namespace {

// How long a transmit wait lasts before the thread looks at the stop flag;
// it bounds the delay at process exit only.
constexpr int kTxWaitMs = 50;

struct ChannelPty {
  int chip = 0;
  int channel = 0;
  int master = -1;
  int slave = -1;  // held open so the master never reads end-of-file
  std::string name;
  std::thread to_chip, to_pty;
};

struct Bridge {
  std::vector<std::unique_ptr<ChannelPty>> channels;
  std::atomic<bool> stop{false};
  int wake[2] = {-1, -1};  // written once at exit to end every poll
};

Bridge *g_bridge = nullptr;

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

// The terminal's keystrokes become bytes the chip receives.
void pump_to_chip(Bridge *b, ChannelPty *c) {
  char buffer[4096];
  while (wait_ready(*b, c->master, POLLIN)) {
    ssize_t n = read(c->master, buffer, sizeof buffer);
    if (n > 0) {
      vexa_sim_queue_rx(c->chip, c->channel, buffer, static_cast<size_t>(n));
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return;
    }
  }
}

// What the application writes is shown on the terminal.
void pump_to_pty(Bridge *b, ChannelPty *c) {
  char buffer[4096];
  using Clock = std::chrono::steady_clock;
  while (!b->stop.load()) {
    const Clock::time_point start = Clock::now();
    if (vexa_sim_wait_tx(c->chip, c->channel, kTxWaitMs) == 0) {
      // An empty wait that ended early means the chip was unplugged.
      if (Clock::now() - start < std::chrono::milliseconds(kTxWaitMs)) return;
      continue;
    }
    size_t n = vexa_sim_take_tx(c->chip, c->channel, buffer, sizeof buffer);
    const char *p = buffer;
    while (n > 0) {
      ssize_t w = write(c->master, p, n);
      if (w > 0) {
        p += w;
        n -= static_cast<size_t>(w);
      } else if (w < 0 && errno == EAGAIN) {
        if (!wait_ready(*b, c->master, POLLOUT)) return;
      } else if (!(w < 0 && errno == EINTR)) {
        return;
      }
    }
  }
}

// Runs before the simulator's own statics are destroyed (it was registered
// after they were built), so no thread is left waiting on them.
void stop_bridge() {
  Bridge *b = g_bridge;
  if (!b) return;
  b->stop.store(true);
  const char byte = 0;
  if (write(b->wake[1], &byte, 1) < 0) {
    // The pipe is empty and ours; a failure here leaves nothing to recover.
  }
  for (auto &c : b->channels) {
    if (c->to_chip.joinable()) c->to_chip.join();
    if (c->to_pty.joinable()) c->to_pty.join();
    close(c->master);
    close(c->slave);
  }
  close(b->wake[0]);
  close(b->wake[1]);
  delete b;
  g_bridge = nullptr;
}

}  // namespace

void vexa_sim_pty_bridge_start(void) {
  if (g_bridge) return;
  auto bridge = std::make_unique<Bridge>();
  if (pipe2(bridge->wake, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "vexa-sim: cannot start the pty bridge: %s\n", std::strerror(errno));
    return;
  }
  vexa_sim_channel_state state;
  for (int chip = 0; vexa_sim_get_state(chip, 0, &state) == 0; ++chip) {
    for (int channel = 0; vexa_sim_get_state(chip, channel, &state) == 0; ++channel) {
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
      std::fprintf(stderr, "vexa-sim: chip %d channel %c: %s\n", chip, 'A' + channel, c->name.c_str());
      bridge->channels.push_back(std::move(c));
    }
  }
  std::fflush(stderr);
  g_bridge = bridge.release();
  for (auto &c : g_bridge->channels) {
    c->to_chip = std::thread(pump_to_chip, g_bridge, c.get());
    c->to_pty = std::thread(pump_to_pty, g_bridge, c.get());
  }
  std::atexit(stop_bridge);
}
