// A busy lock for rare, short critical sections that may be entered from the
// interpreter's thread: the event queue's growth and the function
// blacklist. Between attempts the waiter sleeps a little instead of spinning
// a core flat out.
//
// Not recursive and without an owner: a thread that acquires it twice waits
// for ever, so no holder calls anything that takes the same lock.
#ifndef ORVO_PIPELINE_SPIN_LOCK_H
#define ORVO_PIPELINE_SPIN_LOCK_H

#include <atomic>

class SpinLock {
 public:
  // Microseconds slept between two attempts.
  static constexpr unsigned kSpinLockSleep = 250;

  SpinLock() : locked(false) {}
  SpinLock(const SpinLock &) = delete;
  SpinLock &operator=(const SpinLock &) = delete;

  void acquire();
  bool tryAcquire() { return !locked.exchange(true, std::memory_order_acquire); }
  // A sequentially consistent store: the release of the critical section
  // and a full barrier in one instruction, so that later loads of this
  // thread are not hoisted above the release.
  void release() { locked.store(false, std::memory_order_seq_cst); }

  // For std::lock_guard.
  void lock() { acquire(); }
  void unlock() { release(); }

 private:
  std::atomic<bool> locked;
};

#endif
