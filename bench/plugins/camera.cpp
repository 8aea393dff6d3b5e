// Camera-load plugin: its run thread stands in for 64 cameras at 25 frames
// per second, spread evenly over each 40 ms period.  Frames are 40-200 KiB,
// a key frame every 50 frames per camera (staggered between cameras, as
// cameras started at different times would be), each written with the
// camera's own providerID and the monotonic clock of the write in its first
// eight bytes.  A round lasts the control block's videoNs.
#include <errno.h>

#include <vector>

#include "plugin_common.h"

namespace {

constexpr ModuleId kId = 0x30u << 16;
constexpr uint32_t kCameras = 64;
constexpr int64_t kFramePeriodNs = 40000000;  // 25 frames per second
constexpr uint32_t kKeyFrameEvery = 50;
constexpr uint32_t kMinFrame = 40 * 1024, kMaxFrame = 200 * 1024;

bench::BenchControl* g_control = nullptr;
CoreWriteFn g_write = nullptr;

void SleepUntil(int64_t ns) {
  timespec due{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
  }
}

void WriteRound(bench::BenchControl& control) {
  std::vector<unsigned char> frame(kMaxFrame, 'v');
  CoreEvent event;
  std::memset(&event, 0, sizeof event);
  event.structSize = sizeof event;
  event.version = 1;
  event.data = frame.data();
  event.eventType = EVENT_VIDEO;
  event.eventSubtype = SUBTYPE_VIDEO_FRAME;
  WriteResult result{sizeof result, 1, 0};
  uint32_t random = 12345;
  uint64_t written = 0;
  const int64_t start = bench::MonotonicNs();
  const uint64_t slots = static_cast<uint64_t>(control.videoNs / kFramePeriodNs) * kCameras;
  for (uint64_t slot = 0; slot < slots; ++slot) {
    const uint32_t camera = static_cast<uint32_t>(slot % kCameras);
    const uint64_t index = slot / kCameras;
    const bool key = index == 0 || (index + camera) % kKeyFrameEvery == 0;
    random = random * 1664525u + 1013904223u;
    event.dataSize = static_cast<int32_t>(key ? kMaxFrame : kMinFrame + (random >> 8) % (kMaxFrame - kMinFrame));
    event.providerID = kId | camera;
    event.attributes.keyFrame = key ? 1 : 0;
    SleepUntil(start + static_cast<int64_t>(slot) * kFramePeriodNs / kCameras);
    const int64_t now = bench::MonotonicNs();
    std::memcpy(frame.data(), &now, sizeof now);
    g_write(&event, &result);
    if (result.code == WRITE_ACCEPTED) ++written;
    else control.refused.value.fetch_add(1);
  }
  control.written.value.fetch_add(written);
}

}  // namespace

BENCH_WRITER_ENTRY_POINTS(kId, g_control, g_write, WriteRound)
