// Per-module log thresholds: the current threshold in force and the default
// a module declared at load, indexed by module number (0..254).  -1 means
// unset.  Entry 0 is the core's, 25 in both arrays from the start.
//
// [any-thread]: every entry is an atomic byte; no lock is taken.
#ifndef BASE_LOG_THRESHOLDS_H_
#define BASE_LOG_THRESHOLDS_H_

#include <array>
#include <atomic>
#include <cstdint>

#include "recording-core/plugin_abi.h"

namespace base {

class LogThresholds {
 public:
  static constexpr int kSlots = LOG_THRESHOLD_SLOTS;
  static constexpr int8_t kUnset = -1;
  static constexpr int8_t kCoreDefault = 25;

  LogThresholds() {
    for (int i = 0; i < kSlots; ++i) {
      current_[i].store(kUnset, std::memory_order_relaxed);
      default_[i].store(kUnset, std::memory_order_relaxed);
    }
    current_[0].store(kCoreDefault, std::memory_order_relaxed);
    default_[0].store(kCoreDefault, std::memory_order_relaxed);
  }
  LogThresholds(const LogThresholds&) = delete;
  LogThresholds& operator=(const LogThresholds&) = delete;

  // Threshold of a module number; numbers of 255 and above read as unset.
  int8_t Current(uint32_t number) const {
    return number < kSlots ? current_[number].load(std::memory_order_relaxed) : kUnset;
  }
  int8_t Default(uint32_t number) const {
    return number < kSlots ? default_[number].load(std::memory_order_relaxed) : kUnset;
  }
  int8_t CurrentOf(ModuleId id) const { return Current(MODULE_NUMBER(id)); }

  // Stores ignore numbers of 255 and above and levels outside -1..100.
  void SetCurrent(uint32_t number, int32_t level) {
    if (number < kSlots && level >= -1 && level <= 100)
      current_[number].exchange(static_cast<int8_t>(level), std::memory_order_relaxed);
  }
  void SetDefault(uint32_t number, int32_t level) {
    if (number < kSlots && level >= -1 && level <= 100)
      default_[number].exchange(static_cast<int8_t>(level), std::memory_order_relaxed);
  }

 private:
  std::array<std::atomic<int8_t>, kSlots> current_;
  std::array<std::atomic<int8_t>, kSlots> default_;
};

}  // namespace base

#endif  // BASE_LOG_THRESHOLDS_H_
