// LogInterval: lets a recurring log line through at most once per interval,
// so a condition that lasts (a budget exceeded on every event) is reported
// without flooding the log.  [any-thread]
#ifndef BASE_LOG_INTERVAL_H_
#define BASE_LOG_INTERVAL_H_

#include <atomic>
#include <cstdint>
#include <limits>

namespace base {

class LogInterval {
 public:
  explicit LogInterval(int64_t intervalNs) : intervalNs_(intervalNs) {}

  // True when the line may be written at `nowNs` (a monotonic reading): the
  // first time, and then once the interval has passed since the last true.
  bool Due(int64_t nowNs) {
    int64_t last = last_.load(std::memory_order_relaxed);
    while (last == kNever || nowNs - last >= intervalNs_) {
      if (last_.compare_exchange_weak(last, nowNs, std::memory_order_relaxed)) return true;
    }
    return false;
  }

 private:
  static constexpr int64_t kNever = std::numeric_limits<int64_t>::min();
  const int64_t intervalNs_;
  std::atomic<int64_t> last_{kNever};
};

}  // namespace base

#endif  // BASE_LOG_INTERVAL_H_
