// What the benchmark plugins share: finding the control block, the load
// reply, and waiting for the harness's next round.
#ifndef BENCH_PLUGINS_PLUGIN_COMMON_H_
#define BENCH_PLUGINS_PLUGIN_COMMON_H_

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench_control.h"
#include "recording-core/plugin_abi.h"

namespace bench {

inline BenchControl* FindControl() {
  const char* text = std::getenv(kControlVariable);
  void* address = nullptr;
  if (text == nullptr || std::sscanf(text, "%p", &address) != 1) return nullptr;
  return static_cast<BenchControl*>(address);
}

inline void FillLoadReply(LoadReply* reply, ModuleId id, bool runThread, bool acceptsWrite) {
  reply->systemID = id;
  for (uint32_t& mask : reply->subscriptionMasks) mask = acceptsWrite ? 0xFFFFFFFFu : 0u;
  reply->runThread = runThread ? 1 : 0;
  reply->acceptsWrite = acceptsWrite ? 1 : 0;
  reply->acceptsRead = 0;
  reply->errorCode = 0;
  reply->logLevel = -1;
}

// Waits until the harness starts a round after `seen` or asks to quit;
// returns false for quit.
inline bool NextRound(BenchControl& control, uint32_t& seen) {
  for (;;) {
    if (control.quit.load(std::memory_order_acquire) != 0) return false;
    const uint32_t round = control.round.value.load(std::memory_order_acquire);
    if (round != seen) {
      seen = round;
      return true;
    }
    control.round.Wait(round);
  }
}

inline int64_t MonotonicNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace bench

#endif  // BENCH_PLUGINS_PLUGIN_COMMON_H_
