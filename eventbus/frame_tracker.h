// FrameTracker: admission of video frames onto the bus.
//
// A dependent frame is admitted only after an admitted key frame from the same
// provider, and only up to kMaxDependentRun frames after it.  While the memory
// monitor has video throttled, every video frame is refused and counted in
// throttledVideoFrames, which the dispatcher's statistics line reports and
// resets.
//
// [any-thread]: writers of video frames call AdmitVideoFrame concurrently; one
// mutex guards the per-provider run lengths.  The throttling flag and the
// counter are atomics read and written without that mutex.
#ifndef EVENTBUS_FRAME_TRACKER_H_
#define EVENTBUS_FRAME_TRACKER_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

namespace eventbus {

class FrameTracker {
 public:
  // Dependent frames admitted after one key frame; the next one is refused.
  static constexpr uint32_t kMaxDependentRun = 766;

  // `throttling` is the core's flag, set and cleared by the memory monitor; it
  // must outlive the tracker.
  explicit FrameTracker(const std::atomic<bool>& throttling) : throttling_(throttling) {}
  FrameTracker(const FrameTracker&) = delete;
  FrameTracker& operator=(const FrameTracker&) = delete;

  // Returns WRITE_ACCEPTED (0), WRITE_NO_KEY_FRAME (3), WRITE_RUN_TOO_LONG (4)
  // or WRITE_THROTTLED (5).  A key frame (re)starts the provider's run; a
  // refusal with 4 or 5 forgets the provider, so its dependent frames are
  // refused with 3 until its next key frame.
  int32_t AdmitVideoFrame(uint32_t providerID, bool keyFrame);

  // Forgets the provider's run: used when an admitted frame could not be
  // copied, so no dependent frame follows a key frame nobody received.
  void ForgetProvider(uint32_t providerID);

  uint64_t ThrottledVideoFrames() const {
    return throttledVideoFrames_.load(std::memory_order_relaxed);
  }
  // Reads and resets the counter in one step, so no refusal is lost between.
  uint64_t TakeThrottledVideoFrames() {
    return throttledVideoFrames_.exchange(0, std::memory_order_relaxed);
  }

 private:
  const std::atomic<bool>& throttling_;
  std::atomic<uint64_t> throttledVideoFrames_{0};
  mutable std::mutex mutex_;
  std::map<uint32_t, uint32_t> frames_;  // providerID -> run length; guarded by mutex_
};

}  // namespace eventbus

#endif  // EVENTBUS_FRAME_TRACKER_H_
