// Ctrl-C (SIGINT) and SIGTERM as a request to finish cleanly: while an
// InterruptWatch lives, the two signals are taken by a thread of its own
// (sigwait), which calls the given function in ordinary thread context, where
// it may lock mutexes and signal condition variables. Create it before any
// other thread, so that every thread inherits the blocked signals.
#ifndef VEXA_TOOL_INTERRUPT_H
#define VEXA_TOOL_INTERRUPT_H

#include <signal.h>

#include <functional>
#include <thread>

namespace vexa_tool {

class InterruptWatch {
 public:
  explicit InterruptWatch(std::function<void()> on_interrupt);
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch &) = delete;
  InterruptWatch &operator=(const InterruptWatch &) = delete;

 private:
  sigset_t signals_{};
  sigset_t saved_{};
  std::thread waiter_;
};

}  // namespace vexa_tool

#endif
