#include "eventbus/event_bus.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include <boost/container/small_vector.hpp>

#include "base/log.h"
#include "eventbus/event_match.h"
#include "eventbus/grouped_number.h"
#include "platform/platform.h"
#include "pluginhost/plugin_blocks.h"

namespace eventbus {

void* EventBus::CopyPayload(const void* data, int32_t size) {
  if (size <= 0) return nullptr;
  void* copy = std::malloc(static_cast<size_t>(size));
  if (copy != nullptr) std::memcpy(copy, data, static_cast<size_t>(size));
  return copy;
}

EventBus::EventBus(base::LogThresholds& thresholds, pluginhost::PluginList& plugins,
                   BusHost& host)
    : thresholds_(thresholds), plugins_(plugins), host_(host), payloads_(ownPayloads_) {}

EventBus::EventBus(base::LogThresholds& thresholds, pluginhost::PluginList& plugins,
                   BusHost& host, PayloadAllocator& payloads)
    : thresholds_(thresholds), plugins_(plugins), host_(host), payloads_(payloads) {}

EventBus::~EventBus() {
  std::lock_guard lock(queueMutex_);
  CoreEvent event;
  for (;;) {
    while (!overflow_.empty()) {
      overflow_.PopFront(&event);
      if (event.data != nullptr) payloads_.Free(event.data);
    }
    if (ring_.PopInto(overflow_, 64) == 0) break;
  }
}

// Write path ---------------------------------------------------------------

void EventBus::Write(const CoreEvent* event, WriteResult* result) {
  WriteResult unused{};
  if (result == nullptr) result = &unused;
  if (event == nullptr) {
    result->code = WRITE_REFUSED;
    return;
  }

  if (event->eventType == EVENT_BLOCK_RELEASE) {
    // The core's own hold is dropped by the dispatcher alone; a release under
    // the core's ModuleId would let a block go while it is still being
    // delivered.
    if (event->providerID != CORE_MODULE_ID) Release(event->data, event->providerID);
    return;
  }

  if (event->eventType == EVENT_TO_SUPERVISOR) {
    // The buffer is ours from here on, whatever happens to it.
    if (event->dataSize < 0) {
      std::free(event->data);
      result->code = WRITE_REFUSED;
      return;
    }
    result->code = host_.SubmitToSupervisor(event->data, event->dataSize);
    return;
  }

  if (event->providerID == 0) {
    result->code = HandleReadRequest(*event);
    return;
  }

  WriteOrdinary(*event, result);
}

void EventBus::PrintLog(const CoreEvent& event) {
  const char* text = static_cast<const char*>(event.data);
  // A text without its terminating zero inside dataSize is printed from a
  // bounded copy, so a careless writer cannot make the sink read past it.
  if (text != nullptr && event.dataSize > 0 &&
      std::memchr(text, 0, static_cast<size_t>(event.dataSize)) == nullptr) {
    const std::string bounded(text, static_cast<size_t>(event.dataSize));
    host_.ConsoleSink(event.providerID, event.attributes.logLevel, bounded.c_str());
    return;
  }
  host_.ConsoleSink(event.providerID, event.attributes.logLevel, text);
}

const void* EventBus::Publish(const CoreEvent& event) {
  WriteResult result{sizeof(WriteResult), 1, WRITE_REFUSED};
  const void* block = nullptr;
  WriteOrdinary(event, &result, &block);
  return result.code == WRITE_ACCEPTED ? block : nullptr;
}

bool EventBus::FilterLog(const CoreEvent& event, WriteResult* result) {
  const int32_t threshold = thresholds_.CurrentOf(event.providerID);
  if ((event.eventSubtype & SUBTYPE_LOG_MESSAGE) != 0) {
    const int32_t level = event.attributes.logLevel;
    if (threshold < 0) {
      // No threshold: printed always, but a level-0 message goes no further.
      PrintLog(event);
      return level == 0;
    }
    if (threshold > level) return true;
    PrintLog(event);
  } else if ((event.eventSubtype & SUBTYPE_LOG_QUERY) != 0) {
    result->code = threshold;
    return true;
  }
  return false;
}

void EventBus::WriteOrdinary(const CoreEvent& original, WriteResult* result,
                             const void** queuedBlock) {
  CoreEvent event = original;  // the working copy that is queued
  if ((event.eventType & EVENT_LOG) != 0 && FilterLog(event, result)) return;

  if (Stopping()) {
    result->code = WRITE_REFUSED;
    return;
  }

  const bool video = IsVideoFrame(event.eventType, event.eventSubtype);
  if (video) {
    const int32_t admitted = frames_.AdmitVideoFrame(event.providerID, event.attributes.keyFrame == 1);
    if (admitted != WRITE_ACCEPTED) {
      result->code = admitted;
      return;
    }
  }

  if (!CopyForQueue(event, video)) {
    result->code = WRITE_NO_MEMORY;
    return;
  }

  if (event.requestID != 0) {
    WriterSlot* slot = requests_.SlotFor(event.requestID, platform::CurrentThreadId());
    if (slot == nullptr) {
      Unqueued(event);
      result->code = WRITE_REFUSED;
      return;
    }
    // One answer with a payload in flight per request thread.
    if (event.data != nullptr) slot->Claim(event.data);
  }

  if (queuedBlock != nullptr) *queuedBlock = event.data;
  result->code = AppendEvent(event);
}

bool EventBus::CopyForQueue(CoreEvent& event, bool video) {
  if (event.data == nullptr || event.dataSize == 0) {
    event.data = nullptr;
    event.dataSize = 0;
    return true;
  }
  // Past the queue's byte budget the copy is refused as if it could not be
  // allocated: the backlog of a slow subscriber must not grow without bound.
  // The bytes are the queue's until the dispatcher takes the event out.
  const bool reserved = event.dataSize > 0 && budget_.Reserve(static_cast<uint64_t>(event.dataSize));
  void* copy = reserved ? payloads_.Allocate(static_cast<size_t>(event.dataSize)) : nullptr;
  if (copy == nullptr) {
    if (reserved) budget_.Release(static_cast<uint64_t>(event.dataSize));
    // No subscriber gets this frame, so none may get the frames that
    // depend on it.
    if (video) frames_.ForgetProvider(event.providerID);
    return false;
  }
  std::memcpy(copy, event.data, static_cast<size_t>(event.dataSize));
  event.data = copy;
  return true;
}

void EventBus::Unqueued(const CoreEvent& event) {
  if (event.data == nullptr) return;
  budget_.Release(static_cast<uint64_t>(event.dataSize));
  // The block is nobody's, and its writer must not stay paced on it.
  requests_.WakeWriters(event.data);
  payloads_.Free(event.data);
}

int32_t EventBus::AppendEvent(const CoreEvent& event) {
  int32_t code = WRITE_REFUSED;
  if (overflowing_.load(std::memory_order_acquire)) {
    code = AppendOverflow(event);  // behind the events already waiting there
  } else {
    switch (ring_.TryPush(event)) {
      case EventRing::Push::kQueued:
        WakeWaiter();
        return WRITE_ACCEPTED;
      case EventRing::Push::kClosed:  // the final drain has begun
        break;
      case EventRing::Push::kFull:
        code = AppendOverflow(event);
        break;
    }
  }
  if (code != WRITE_ACCEPTED) Unqueued(event);
  return code;
}

int32_t EventBus::AppendOverflow(const CoreEvent& event) {
  bool wake = false;
  {
    std::lock_guard lock(queueMutex_);
    // Checked again under the mutex: once the dispatcher has seen the stop
    // and drained the queue, nothing would take this event out any more.
    if (stop_.load(std::memory_order_relaxed) || closed_) return WRITE_REFUSED;
    try {
      overflow_.PushBack(event);
    } catch (const std::bad_alloc&) {
      return WRITE_NO_MEMORY;
    }
    overflowing_.store(true, std::memory_order_release);
    overflowCount_.store(overflow_.size(), std::memory_order_relaxed);
    ++notifications_;
    wake = waiting_.exchange(false);
  }
  if (wake) queueCv_.notify_one();
  return WRITE_ACCEPTED;
}

void EventBus::WakeWaiter() {
  // After the claim in the ring (both sequentially consistent): either the
  // sleeper's last look at the ring sees the claim, or this sees the flag.
  if (!waiting_.load(std::memory_order_seq_cst)) return;
  {
    std::lock_guard lock(queueMutex_);
    if (!waiting_.exchange(false)) return;  // another writer woke it
  }
  queueCv_.notify_one();
}

// Block release, stop, start-up wait, misc ------------------------------------

void EventBus::Release(void* block, ModuleId holder) {
  if (Unhold(block, holder)) payloads_.Free(block);
}

bool EventBus::Unhold(void* block, ModuleId holder) {
  if (!blocks_.ReleaseHolder(block, holder) || block == nullptr) return false;
  // Wake before freeing: once freed, the address may come back from the pools
  // as another answer's block, and a late wake must not clear that one.
  requests_.WakeWriters(block);
  return true;
}

void EventBus::SetThrottling(bool on) {
  throttling_.store(on, std::memory_order_relaxed);
  if (on) ownPayloads_.Trim();
}

void EventBus::SetMemoryLimit(uint64_t limit) {
  budget_.SetMemoryLimit(limit);
  ownPayloads_.SetRetainedBytes(static_cast<size_t>(2 * budget_.Limit()));
}

bool EventBus::CoreAdmitsLevel0() const {
  // What a threshold query for the core through the write path answers,
  // read directly: unset, or not above 0.
  const int32_t threshold = thresholds_.CurrentOf(CORE_MODULE_ID);
  return threshold <= 0;
}

// Stop, start-up wait, misc ----------------------------------------------------

void EventBus::RequestStop() {
  {
    std::lock_guard lock(queueMutex_);
    stop_.store(true, std::memory_order_release);
    ++notifications_;
  }
  queueCv_.notify_one();
}

uint64_t EventBus::NotificationMark() const {
  // Every event queued in the ring counts as a notification.
  std::lock_guard lock(queueMutex_);
  return notifications_ + ring_.Claimed();
}

void EventBus::WaitOnce(uint64_t mark, std::chrono::milliseconds timeout) {
  std::unique_lock lock(queueMutex_);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (notifications_ + ring_.Claimed() == mark) {
    waiting_.store(true, std::memory_order_seq_cst);  // so that the next queued event notifies
    if (notifications_ + ring_.Claimed() != mark) break;
    if (queueCv_.wait_until(lock, deadline) == std::cv_status::timeout) break;
  }
  waiting_.store(false, std::memory_order_relaxed);
}

void EventBus::NotifyUnderQueueMutex(const std::function<void()>& fn) {
  {
    std::lock_guard lock(queueMutex_);
    if (fn) fn();
    ++notifications_;
  }
  queueCv_.notify_one();
}

void EventBus::LogLeakReport() {
  const std::string report = blocks_.LeakReport();
  if (!report.empty()) base::Log(CORE_MODULE_ID, *this, 0, "%s", report.c_str());
}

size_t EventBus::QueueSize() const {
  std::lock_guard lock(queueMutex_);
  return ring_.Size() + overflow_.size();
}

}  // namespace eventbus
