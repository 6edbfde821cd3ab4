#include "interrupt.h"

#include <pthread.h>

namespace vexa_tool {

InterruptWatch::InterruptWatch(std::function<void()> on_interrupt) {
  sigemptyset(&signals_);
  sigaddset(&signals_, SIGINT);
  sigaddset(&signals_, SIGTERM);
  // SIGUSR2 only ends the waiter when the watch is destroyed.
  sigaddset(&signals_, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &signals_, &saved_);
  waiter_ = std::thread([this, on_interrupt]() {
    int signal = 0;
    while (sigwait(&signals_, &signal) == 0) {
      if (signal == SIGUSR2) return;
      on_interrupt();
    }
  });
}

InterruptWatch::~InterruptWatch() {
  pthread_kill(waiter_.native_handle(), SIGUSR2);
  waiter_.join();
  pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

}  // namespace vexa_tool
