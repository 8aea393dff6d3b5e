// framecount.dll: counts the demo cameras' frames, logs a summary every 5 s.
#include <recording-core/camera_protocol.h>  // CameraFrameHeader, the frame subtype
#include <recording-core/plugin_abi.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

namespace {
constexpr ModuleId kId = 0x00800000u;  // module number 0x080, in the third-party range
CoreWriteFn core_write;                // our only way onto the bus
std::atomic<uint32_t> frames[CAMERA_MAX_CAMERAS];
std::mutex lock;
std::condition_variable wake;
bool closing = false;

void Log(int32_t level, const std::string& text) {
  CoreEvent event{};                     // zero-filled: no request, no other attributes
  event.structSize = sizeof(CoreEvent);  // 192
  event.version = 1;
  event.providerID = kId;  // names the console line and picks the threshold
  event.eventType = EVENT_LOG;
  event.eventSubtype = 0x01000000u | SUBTYPE_LOG_MESSAGE;
  event.data = const_cast<char*>(text.c_str());
  event.dataSize = static_cast<int32_t>(text.size() + 1);  // the NUL counts
  event.attributes.logLevel = level;
  WriteResult result{sizeof(WriteResult), 1, 0};
  core_write(&event, &result);  // copies the text before it returns
}
}  // namespace

PLUGIN_EXPORT int32_t Load(const LoadRequest* request, LoadReply* reply) {
  core_write = request->write;
  reply->systemID = kId;
  // Class 0: the frames of real cameras and of the camera simulator.
  reply->subscriptionMasks[0] = CAMERA_CODED_FRAME_QUEUED_KEY | CAMERA_FRAME_QUEUED_KEY;
  reply->runThread = 1;     // IOCTL code 1 on a thread of our own
  reply->acceptsWrite = 1;  // matching events through Write
  reply->logLevel = 25;     // default threshold: levels 25 and up pass
  return 0;
}

PLUGIN_EXPORT int32_t Open(const OpenRequest*, OpenReply*) { return 0; }

// On the dispatcher, once per frame: count and return at once.
PLUGIN_EXPORT int32_t Write(const DeliveredEvent* event, WriteReply*) {
  CameraFrameHeader frame;
  if (event->dataSize < static_cast<int32_t>(sizeof frame)) return 0;
  std::memcpy(&frame, event->data, sizeof frame);  // a shared block: read only
  if (frame.magic != CAMERA_FRAME_MAGIC || frame.camera >= CAMERA_MAX_CAMERAS) return 0;
  ++frames[frame.camera];
  return 0;
}

// Code 1 runs on our own thread from Load until Close; we ignore codes 2 and 4.
PLUGIN_EXPORT int32_t IOCTL(const IoctlRequest* request, IoctlReply*) try {
  if (request->code != IOCTL_RUN) return 0;
  std::unique_lock<std::mutex> guard(lock);
  while (!wake.wait_for(guard, std::chrono::seconds(5), [] { return closing; })) {
    guard.unlock();  // never hold a lock of ours while writing
    std::string text = "frames in 5 s:";
    for (uint32_t i = 0; i < CAMERA_MAX_CAMERAS; ++i) {
      const uint32_t n = frames[i].exchange(0);
      if (n != 0) text += " camera" + std::to_string(i) + "=" + std::to_string(n);
    }
    Log(25, text);
    guard.lock();
  }
  return 0;
} catch (...) {  // no exception may leave an entry point
  return 1;
}

PLUGIN_EXPORT int32_t Close(const CloseRequest*, CloseReply*) {
  std::lock_guard<std::mutex> guard(lock);
  closing = true;
  wake.notify_all();  // the run thread's IOCTL returns and the core joins it
  return 0;
}
