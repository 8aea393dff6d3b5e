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
namespace {

// Copies a read request's payload into a malloc'ed block of the request
// thread's own.  A negative size counts as a failed allocation (it would be a
// huge size_t).
void* CopyPayload(const void* data, int32_t size) {
  if (size <= 0) return nullptr;
  void* copy = std::malloc(static_cast<size_t>(size));
  if (copy != nullptr) std::memcpy(copy, data, static_cast<size_t>(size));
  return copy;
}

}  // namespace

EventBus::EventBus(base::LogThresholds& thresholds, pluginhost::PluginList& plugins,
                   BusHost& host, PayloadAllocator* payloads)
    : thresholds_(thresholds),
      plugins_(plugins),
      host_(host),
      payloads_(payloads != nullptr ? *payloads : ownPayloads_) {}

EventBus::~EventBus() {
  std::lock_guard lock(queueMutex_);
  CoreEvent event;
  for (;;) {
    while (!overflow_.empty()) {
      overflow_.PopFront(&event);
      FreePayload(event.data);
    }
    if (ring_.PopInto(overflow_, 64) == 0) break;
  }
}

void* EventBus::ObtainPayload(const void* data, int32_t size) {
  if (size <= 0) return nullptr;
  void* block = payloads_.Allocate(static_cast<size_t>(size));
  if (block != nullptr) std::memcpy(block, data, static_cast<size_t>(size));
  return block;
}

void EventBus::FreePayload(void* block) { payloads_.Free(block); }

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

int32_t EventBus::HandleReadRequest(const CoreEvent& event) {
  if (event.eventType == EVENT_CANCEL_REQUEST) {
    requests_.Cancel(event.requestID);
    return WRITE_ACCEPTED;
  }
  requests_.Reissue(event.requestID);

  // Plugins loaded earlier may broadcast while the loading pass still appends
  // to the list, or while the close pass reorders it, so the walk takes the
  // list's shared lock.  Only the matching Read entries are collected under
  // it; the request threads are started after it is released.
  const uint32_t key = BroadcastKey(event.eventSubtype);
  boost::container::small_vector<PluginReadFn, 8> readers;
  plugins_.ForEach([&](const pluginhost::PluginInfo& plugin) {
    if (plugin.descriptor.acceptsRead != 0 && plugin.Read != nullptr &&
        Matches(event.eventType, plugin.descriptor.subscriptionMasks, key))
      readers.push_back(plugin.Read);
  });

  for (PluginReadFn read : readers) {
    // Each reader owns its copy.  When it cannot be made, the reader gets a
    // null payload with the request's own size.
    void* copy = event.data != nullptr ? CopyPayload(event.data, event.dataSize) : nullptr;
    try {
      std::thread(&EventBus::RunRequestThread, this, read, event.dataSize, copy, event.requestID)
          .detach();
    } catch (...) {
      std::free(copy);
      throw;
    }
  }
  return WRITE_ACCEPTED;
}

void EventBus::RunRequestThread(PluginReadFn read, int32_t dataSize, void* copy,
                                uint32_t requestID) {
  ReadRequest request =
      pluginhost::MakeReadRequest(static_cast<uint32_t>(dataSize), copy, requestID);
  ReadReply reply = pluginhost::MakeReadReply();

  const uint32_t self = platform::CurrentThreadId();
  requests_.RegisterRequestThread(self, true);
  read(&request, &reply);
  requests_.RegisterRequestThread(self, false);
  std::free(copy);
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

void EventBus::WriteOrdinary(const CoreEvent& original, WriteResult* result) {
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

  void* copy = nullptr;
  if (event.data == nullptr || event.dataSize == 0) {
    event.data = nullptr;
    event.dataSize = 0;
  } else {
    copy = ObtainPayload(event.data, event.dataSize);
    if (copy == nullptr) {
      // No subscriber gets this frame, so none may get the frames that
      // depend on it.
      if (video) frames_.ForgetProvider(event.providerID);
      result->code = WRITE_NO_MEMORY;
      return;
    }
    event.data = copy;
  }

  if (event.requestID != 0) {
    WriterSlot* slot = requests_.SlotFor(event.requestID, platform::CurrentThreadId());
    if (slot == nullptr) {
      FreePayload(copy);
      result->code = WRITE_REFUSED;
      return;
    }
    // One answer with a payload in flight per request thread.
    if (copy != nullptr) slot->Claim(copy);
  }

  result->code = AppendEvent(event);
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
  if (code == WRITE_ACCEPTED) return code;
  // Not queued: the block is nobody's, and its writer must not stay paced on it.
  if (event.data != nullptr) {
    requests_.WakeWriters(event.data);
    FreePayload(event.data);
  }
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
  if (!blocks_.ReleaseHolder(block, holder) || block == nullptr) return;
  // Wake before freeing: once freed, the address may come back from the pools
  // as another answer's block, and a late wake must not clear that one.
  requests_.WakeWriters(block);
  FreePayload(block);
}

bool EventBus::CoreAdmitsLevel0() const {
  // What a threshold query for the core through the write path answers,
  // read directly: unset, or not above 0.
  const int32_t threshold = thresholds_.CurrentOf(CORE_MODULE_ID);
  return threshold <= 0;
}

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
  if (!report.empty()) base::Log(CORE_MODULE_ID, host_.Writer(), 0, "%s", report.c_str());
}

size_t EventBus::QueueSize() const {
  std::lock_guard lock(queueMutex_);
  return ring_.Size() + overflow_.size();
}

}  // namespace eventbus
