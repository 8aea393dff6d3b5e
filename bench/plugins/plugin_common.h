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

// The entry points of a plugin whose run thread writes the harness's rounds:
// Load finds the control block and keeps the write callback; the run thread
// calls `writeRound` for every round until the harness quits.
inline int32_t LoadWriter(const LoadRequest* request, LoadReply* reply, ModuleId id,
                          BenchControl*& control, CoreWriteFn& write) {
  control = FindControl();
  write = request->write;
  FillLoadReply(reply, id, true, false);
  if (control == nullptr) reply->errorCode = 1;
  return 0;
}
inline void RunRounds(BenchControl& control, void (*writeRound)(BenchControl&)) {
  uint32_t seen = 0;
  while (NextRound(control, seen)) {
    writeRound(control);
    control.producersDone.Raise();
  }
}

}  // namespace bench

// Defines Load and IOCTL of such a writer plugin.
#define BENCH_WRITER_ENTRY_POINTS(id, control, write, writeRound)                                  \
  extern "C" __attribute__((visibility("default"))) int32_t Load(const LoadRequest* request,       \
                                                                  LoadReply* reply) {              \
    return bench::LoadWriter(request, reply, id, control, write);                                  \
  }                                                                                                \
  extern "C" __attribute__((visibility("default"))) int32_t IOCTL(const IoctlRequest* request,     \
                                                                   IoctlReply*) {                  \
    if (request->code == IOCTL_RUN) bench::RunRounds(*control, &writeRound);                       \
    return 0;                                                                                      \
  }

namespace bench {

inline int64_t MonotonicNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace bench

#endif  // BENCH_PLUGINS_PLUGIN_COMMON_H_
