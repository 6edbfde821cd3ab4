// A process ends promptly when it leaves main or calls exit() with handles
// still open, whatever their reader threads are doing at that moment. Each
// case runs in a child process that gets a few seconds to end.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "sim_fixture.h"

namespace {

using std::chrono::milliseconds;

KX_HANDLE OpenIndex(int index) {
  KX_HANDLE handle = nullptr;
  if (KX_Open(index, &handle) != KX_OK) std::_Exit(3);
  return handle;
}

// Leaves the handle's channel streaming from a paced chip into a ring that
// is read for a while, so that transfers are under way at exit.
void Streaming(int chip, int index) {
  KX_HANDLE handle = OpenIndex(index);
  vexa_sim_set_pacing(chip, 0, 1);
  const auto bytes = Pattern(1 << 20);
  vexa_sim_queue_rx(chip, 0, bytes.data(), bytes.size());
  std::vector<uint8_t> buffer(4000);
  uint32_t got = 0;
  for (int i = 0; i < 5; ++i) KX_Read(handle, buffer.data(), static_cast<uint32_t>(buffer.size()), &got);
}

// Paused by KX_StopInTask, with time for the transfer under way to end.
void InTaskStopped(int, int index) {
  KX_StopInTask(OpenIndex(index));
  std::this_thread::sleep_for(milliseconds(50));
}

void RingFull(int chip, int index) {
  KX_HANDLE handle = OpenIndex(index);
  const auto bytes = Pattern(70000);
  vexa_sim_queue_rx(chip, 0, bytes.data(), bytes.size());
  if (!Eventually([&] { return Queued(handle) == 63488; })) std::_Exit(4);
}

void Unplugged(int chip, int index) {
  OpenIndex(index);
  vexa_sim_unplug(chip);
  std::this_thread::sleep_for(milliseconds(30));
}

// A read without a time-out waits on another thread for bytes that never come.
void ReadWaiting(int, int index) {
  static uint8_t buffer[10];
  static uint32_t got;
  KX_HANDLE handle = OpenIndex(index);
  std::thread([handle] { KX_Read(handle, buffer, sizeof buffer, &got); }).detach();
  std::this_thread::sleep_for(milliseconds(30));
}

using State = void (*)(int chip, int index);

struct Case {
  const char *name;
  std::vector<State> states;  // one handle per state, each on a chip of its own
  bool via_exit;              // exit() from deep inside, else a return from the child's main
};

// Runs in the child: attaches the chips, puts each handle in its state and
// then ends the way a program does.
int ChildMain(const Case &c) {
  for (size_t k = 0; k < c.states.size(); ++k) {
    vexa_sim_chip_config config = {};
    config.max_packet_size = 64;
    vexa_sim_add_chip(&config);
  }
  for (size_t k = 0; k < c.states.size(); ++k) c.states[k](static_cast<int>(k), static_cast<int>(k));
  if (c.via_exit) std::exit(0);
  return 0;
}

using ExitTest = SimTest;

TEST_F(ExitTest, ProcessEndsPromptlyWithHandlesOpenInAnyState) {
  const Case cases[] = {
      {"streaming", {Streaming}, false},
      {"in-task stopped, exit()", {InTaskStopped}, true},
      {"ring full", {RingFull}, false},
      {"read waiting", {ReadWaiting}, false},
      {"all at once", {Streaming, RingFull, Unplugged, ReadWaiting, InTaskStopped}, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    // The child's main returns into exit(), as the C runtime does.
    if (child == 0) std::exit(ChildMain(c));

    int status = 0;
    if (!Eventually([&] { return waitpid(child, &status, WNOHANG) != 0; }, 4000)) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      ADD_FAILURE() << "the process did not end within 4 s";
      continue;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "ended with status " << status << (WIFSIGNALED(status) ? " (signal)" : "");
  }
}

}  // namespace
