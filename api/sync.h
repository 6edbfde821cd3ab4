// Internal: the library's locks and waits. Every mutex and condition
// variable the library owns is one of these, so that clang's thread-safety
// analysis (-Wthread-safety) can check that a field marked GUARDED_BY is only
// touched with its lock held, and so that every timed wait runs on the
// monotonic clock: a step of the wall clock (NTP, an administrator) neither
// stretches nor cuts a time-out.
//
// The application's own event objects (_EVENT_HANDLE) stay plain pthread
// objects: their layout belongs to the public interface.
#ifndef VEXA_SYNC_H
#define VEXA_SYNC_H

#include <errno.h>
#include <pthread.h>
#include <time.h>

#include <cstdint>

#if defined(__clang__)
#define VEXA_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VEXA_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) VEXA_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VEXA_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VEXA_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) VEXA_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) VEXA_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) VEXA_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VEXA_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) VEXA_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS VEXA_THREAD_ANNOTATION(no_thread_safety_analysis)

// `ms` milliseconds after `now`, with the nanoseconds carried into whole
// seconds (a wait refuses a deadline whose nanoseconds reach one second).
inline timespec DeadlineAfter(timespec now, uint32_t ms) {
  now.tv_sec += static_cast<time_t>(ms / 1000);
  now.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (now.tv_nsec >= 1000000000L) {
    now.tv_sec += 1;
    now.tv_nsec -= 1000000000L;
  }
  return now;
}

// The one source of deadlines: `ms` milliseconds from now on CLOCK_MONOTONIC.
inline timespec MonotonicDeadline(uint32_t ms) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return DeadlineAfter(now, ms);
}

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() { pthread_mutex_init(&mutex_, nullptr); }
  ~Mutex() { pthread_mutex_destroy(&mutex_); }
  Mutex(const Mutex &) = delete;
  Mutex &operator=(const Mutex &) = delete;

  void Lock() ACQUIRE() { pthread_mutex_lock(&mutex_); }
  void Unlock() RELEASE() { pthread_mutex_unlock(&mutex_); }

 private:
  friend class MonotonicCondition;
  pthread_mutex_t mutex_;
};

// Holds a Mutex for the rest of the scope.
class SCOPED_CAPABILITY MutexGuard {
 public:
  explicit MutexGuard(Mutex &mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~MutexGuard() RELEASE() { mutex_.Unlock(); }
  MutexGuard(const MutexGuard &) = delete;
  MutexGuard &operator=(const MutexGuard &) = delete;

 private:
  Mutex &mutex_;
};

// A condition variable whose timed waits measure the monotonic clock.
class MonotonicCondition {
 public:
  MonotonicCondition() {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&cond_, &attributes);
    pthread_condattr_destroy(&attributes);
  }
  ~MonotonicCondition() { pthread_cond_destroy(&cond_); }
  MonotonicCondition(const MonotonicCondition &) = delete;
  MonotonicCondition &operator=(const MonotonicCondition &) = delete;

  void Signal() { pthread_cond_signal(&cond_); }
  void Broadcast() { pthread_cond_broadcast(&cond_); }

  // One wait, which may end early (a signal, or spuriously). Returns false
  // once `deadline` (from MonotonicDeadline; null: none) has passed.
  bool WaitOnce(Mutex &mutex, const timespec *deadline) REQUIRES(mutex) {
    if (!deadline) {
      pthread_cond_wait(&cond_, &mutex.mutex_);
      return true;
    }
    return pthread_cond_timedwait(&cond_, &mutex.mutex_, deadline) != ETIMEDOUT;
  }

  // Waits until `ready()` holds or `deadline` (null: none) has passed, and
  // returns ready(). The predicate runs with `mutex` held; a lambda that
  // reads guarded fields says so with REQUIRES.
  template <typename Ready>
  bool WaitUntil(Mutex &mutex, const timespec *deadline, Ready ready) REQUIRES(mutex)
      NO_THREAD_SAFETY_ANALYSIS {
    while (!ready()) {
      if (!WaitOnce(mutex, deadline)) return ready();
    }
    return true;
  }

 private:
  pthread_cond_t cond_;
};

#endif  // VEXA_SYNC_H
