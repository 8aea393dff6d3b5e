// SpinLock: a lock for critical sections of a few instructions that two
// threads take on every event (a pool's free list between the writers and
// the dispatcher).  A mutex there puts the loser of a collision to sleep in
// the kernel and makes the winner wake it, which costs far more than the
// section itself; spinning on a load costs nothing while the owner finishes.
// After a while the waiter yields, in case the owner was preempted.
//
// [any-thread].  Satisfies Lockable, for std::lock_guard.
#ifndef EVENTBUS_SPIN_LOCK_H_
#define EVENTBUS_SPIN_LOCK_H_

#include <atomic>
#include <thread>

#include "platform/platform.h"

namespace eventbus {

class SpinLock {
 public:
  static constexpr int kSpinsBeforeYield = 64;

  void lock() {
    for (;;) {
      if (!locked_.exchange(true, std::memory_order_acquire)) return;
      for (int spins = 0; locked_.load(std::memory_order_relaxed); ++spins) {
        if (spins < kSpinsBeforeYield)
          platform::CpuRelax();
        else
          std::this_thread::yield();
      }
    }
  }
  bool try_lock() { return !locked_.exchange(true, std::memory_order_acquire); }
  void unlock() { locked_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> locked_{false};
};

}  // namespace eventbus

#endif  // EVENTBUS_SPIN_LOCK_H_
