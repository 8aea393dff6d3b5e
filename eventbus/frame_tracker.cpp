#include "eventbus/frame_tracker.h"

#include "recording-core/plugin_abi.h"

namespace eventbus {

int32_t FrameTracker::AdmitVideoFrame(uint32_t providerID, bool keyFrame) {
  std::lock_guard lock(mutex_);
  auto it = frames_.find(providerID);
  if (keyFrame) {
    if (it == frames_.end())
      it = frames_.emplace(providerID, 0).first;
    else
      it->second = 0;
  } else {
    if (it == frames_.end()) return WRITE_NO_KEY_FRAME;
    if (it->second >= kMaxDependentRun) {
      frames_.erase(it);
      return WRITE_RUN_TOO_LONG;
    }
    ++it->second;
  }
  if (throttling_.load(std::memory_order_relaxed)) {
    frames_.erase(it);
    throttledVideoFrames_.fetch_add(1, std::memory_order_relaxed);
    return WRITE_THROTTLED;
  }
  return WRITE_ACCEPTED;
}

void FrameTracker::ForgetProvider(uint32_t providerID) {
  std::lock_guard lock(mutex_);
  frames_.erase(providerID);
}

}  // namespace eventbus
