// camsim.cpp - "camsim.dll", the example camera simulator.
//
// It produces synthetic video frames for a number of cameras, as a real
// camera plugin would deliver encoded pictures, and writes each as a video
// frame event (class 0, subtype CAMERA_FRAME_SUBTYPE, see
// camera_protocol.h).  Nothing subscribes it to anything: it only writes.
//
// Threads.  The plugin asks for a run thread (runThread = 1): the core calls
// IOCTL code 1 on a thread of its own right after Load, and that call is the
// plugin's main loop.  It waits until Open, starts one thread per camera,
// waits for Close, joins the camera threads and returns.  Close only signals;
// the core joins the run thread before Unload.
//
// Module ids of the cameras.  The core tracks key frames per providerID: a
// dependent frame is admitted only after a key frame from the same provider.
// Two cameras writing under one id would therefore mix their runs, so each
// camera writes under its own id.  The scheme: camera i uses the plugin's
// systemID with i + 1 in the low 16 bits (0x00020001, 0x00020002, ...).  The
// module number (bits 16..27) stays the plugin's own, so no camera id can
// collide with another module's, and the plugin's own id (low bits 0) stays
// free for its log messages.
//
// Key frames.  Every `key_interval` frames is a key frame (attribute
// keyFrame = 1).  The core admits at most 766 dependent frames after a key
// frame, so the interval is at most 767.  When the core refuses a frame
// (no key frame admitted, run too long, video throttled) the next frame is a
// key frame, as a real encoder would do on request, so recording resumes at
// once.
//
// Status.  Once a second, and when it starts and stops, each camera writes
// a CameraStatus event (status_events.h) under its own id: frames accepted,
// frames refused by result code, the measured rate and the last key frame,
// so that a viewer can show the camera without watching its frames.
//
// Settings, from camsim.conf in the working directory (all optional):
//   cameras = 2             number of cameras, 1..16
//   fps = 25                frames per second per camera, 1..1000
//   frame_bytes = 16384     bytes per frame, header included, 64..16777216
//   key_interval = 25       a key frame every N frames, 1..767
//   log_level = 25          the plugin's default log threshold
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera_protocol.h"
#include "plugin_support.h"
#include "recording-core/plugin_abi.h"
#include "status_events.h"

namespace {

constexpr ModuleId kCamsimId = 0x00020000u;  // module number 2

struct Camera {
  uint16_t index = 0;
  ModuleId provider = 0;
  uint32_t produced = 0;  // camera thread only
  uint32_t refused = 0;   // camera thread only
  // The rest is the camera thread's too, for its status events.
  uint64_t accepted = 0;
  uint64_t refusedBy[5] = {};  // by code: -1, 1, 3, 4, 5
  std::string lastKeyUtc;
};

struct Simulator {
  CoreWriteFn write = nullptr;
  CoreContext* context = nullptr;
  example::PluginLog log;
  int cameras = 2;
  int fps = 25;
  uint32_t frameBytes = 16384;
  uint32_t keyInterval = 25;

  std::mutex mutex;
  std::condition_variable wake;
  bool opened = false;   // guarded by mutex
  bool closing = false;  // guarded by mutex
};

Simulator* g_sim = nullptr;

int64_t CoreNow(const Simulator& sim) {
  // The core's clock (context slot 1), as every module should measure time
  // the same way; a steady clock of our own when there is no context.
  if (sim.context != nullptr && sim.context->table != nullptr && sim.context->table->now) {
    int64_t slot = 0;
    return *sim.context->table->now(sim.context, &slot);
  }
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Fills the picture data with a pattern that depends on camera and frame,
// so a damaged or misplaced frame in a recording is easy to spot.
void FillFrame(std::vector<uint8_t>& frame, const CameraFrameHeader& header) {
  std::memcpy(frame.data(), &header, sizeof header);
  const uint8_t seed = static_cast<uint8_t>(header.sequence * 31u + header.camera * 7u);
  for (size_t i = sizeof header; i < frame.size(); ++i)
    frame[i] = static_cast<uint8_t>(seed + i);
}

void CountRefusal(Camera& camera, int32_t code) {
  static constexpr int32_t kCodes[5] = {WRITE_NO_MEMORY, WRITE_REFUSED, WRITE_NO_KEY_FRAME,
                                        WRITE_RUN_TOO_LONG, WRITE_THROTTLED};
  for (int i = 0; i < 5; ++i)
    if (kCodes[i] == code) ++camera.refusedBy[i];
}

// Writes the camera's CameraStatus event; `fps` is the rate since the last one.
void PublishStatus(const Simulator& sim, const Camera& camera, bool connected, double fps) {
  char text[512];
  const int length = std::snprintf(
      text, sizeof text,
      "<CameraStatus Name=\"camera-%u\" Index=\"%u\" Id=\"0x%08x\" Url=\"sim://camera-%u\" "
      "Connected=\"%d\" Codec=\"sim\" Width=\"0\" Height=\"0\" Fps=\"%.2f\" Frames=\"%llu\" "
      "LastKeyFrameUtc=\"%s\" Reconnects=\"0\" Refused3=\"%llu\" Refused4=\"%llu\" "
      "Refused5=\"%llu\" RefusedMinus1=\"%llu\" Refused1=\"%llu\"/>",
      camera.index, camera.index, camera.provider, camera.index, connected ? 1 : 0, fps,
      static_cast<unsigned long long>(camera.accepted), camera.lastKeyUtc.c_str(),
      static_cast<unsigned long long>(camera.refusedBy[2]),
      static_cast<unsigned long long>(camera.refusedBy[3]),
      static_cast<unsigned long long>(camera.refusedBy[4]),
      static_cast<unsigned long long>(camera.refusedBy[0]),
      static_cast<unsigned long long>(camera.refusedBy[1]));
  if (length <= 0 || length >= static_cast<int>(sizeof text)) return;
  example::WriteEvent(sim.write, example::MakeEvent(camera.provider, STATUS_EVENT_CLASS,
                                                    CAMERA_STATUS_SUBTYPE, text, length));
}

void CameraLoop(Simulator& sim, Camera& camera) {
  using Clock = std::chrono::steady_clock;
  const auto period = std::chrono::microseconds(1000000 / sim.fps);
  std::vector<uint8_t> frame(sim.frameBytes);
  bool forceKey = true;
  auto next = Clock::now();
  auto lastStatus = next;
  uint64_t acceptedAtStatus = 0;
  PublishStatus(sim, camera, true, 0.0);
  sim.log.Write(25, "camera %u started: %u bytes at %d fps, key frame every %u, id 0x%08x",
                camera.index, sim.frameBytes, sim.fps, sim.keyInterval, camera.provider);

  std::unique_lock lock(sim.mutex);
  while (!sim.closing) {
    lock.unlock();
    CameraFrameHeader header;
    std::memset(&header, 0, sizeof header);
    header.magic = CAMERA_FRAME_MAGIC;
    header.camera = camera.index;
    header.sequence = camera.produced++;
    header.keyFrame = forceKey || header.sequence % sim.keyInterval == 0 ? 1 : 0;
    header.payloadSize = sim.frameBytes - static_cast<uint32_t>(sizeof header);
    header.captureNs = CoreNow(sim);
    FillFrame(frame, header);

    CoreEvent event = example::MakeEvent(camera.provider, EVENT_VIDEO, CAMERA_FRAME_SUBTYPE,
                                         frame.data(), static_cast<int32_t>(frame.size()));
    event.attributes.keyFrame = header.keyFrame;
    // The core copies the payload before the call returns: the buffer is
    // ours again for the next frame.
    const int32_t code = example::WriteEvent(sim.write, event);
    forceKey = false;
    if (code == WRITE_ACCEPTED) {
      ++camera.accepted;
      if (header.keyFrame == 1) camera.lastKeyUtc = example::UtcNow();
    } else {
      ++camera.refused;
      CountRefusal(camera, code);
      if (code == WRITE_NO_KEY_FRAME || code == WRITE_RUN_TOO_LONG || code == WRITE_THROTTLED)
        forceKey = true;
    }

    // Keep the rate without bursting to catch up after a stall.
    next += period;
    const auto now = Clock::now();
    if (now - lastStatus >= std::chrono::seconds(1)) {
      const double seconds = std::chrono::duration<double>(now - lastStatus).count();
      PublishStatus(sim, camera, true, static_cast<double>(camera.accepted - acceptedAtStatus) / seconds);
      lastStatus = now;
      acceptedAtStatus = camera.accepted;
    }
    if (next < now) next = now;
    lock.lock();
    sim.wake.wait_until(lock, next, [&] { return sim.closing; });
  }
  lock.unlock();
  PublishStatus(sim, camera, false, 0.0);
  sim.log.Write(25, "camera %u stopped after %u frames, %u refused", camera.index,
                camera.produced, camera.refused);
}

}  // namespace

// [main thread]
PLUGIN_EXPORT int32_t Load(const LoadRequest* request, LoadReply* reply) {
  delete g_sim;
  g_sim = new Simulator;
  g_sim->write = request->write;
  g_sim->context = request->context;
  g_sim->log.Bind(request->write, kCamsimId);

  example::Settings settings = example::Settings::Read("camsim.conf");
  g_sim->cameras = static_cast<int>(settings.Int("cameras", 2, 1, CAMERA_MAX_CAMERAS));
  g_sim->fps = static_cast<int>(settings.Int("fps", 25, 1, 1000));
  g_sim->frameBytes = static_cast<uint32_t>(settings.Int("frame_bytes", 16384, 64, 16 << 20));
  g_sim->keyInterval = static_cast<uint32_t>(settings.Int("key_interval", 25, 1, 767));
  const int32_t level = static_cast<int32_t>(settings.Int("log_level", 25, -1, 100));
  for (const std::string& problem : settings.problems()) g_sim->log.Write(50, "%s", problem.c_str());

  reply->systemID = kCamsimId;
  reply->runThread = 1;  // IOCTL code 1 on a thread of its own
  reply->logLevel = level;
  return 0;
}

// [main thread] Lets the camera threads start.
PLUGIN_EXPORT int32_t Open(const OpenRequest* /*request*/, OpenReply* /*reply*/) {
  if (g_sim == nullptr) return 1;
  {
    std::lock_guard lock(g_sim->mutex);
    g_sim->opened = true;
  }
  g_sim->wake.notify_all();
  return 0;
}

// [plugin run thread] code 1: the plugin's main loop, from Load to Close.
// [dispatcher] code 2, [io-thread] code 4: nothing to do.
PLUGIN_EXPORT int32_t IOCTL(const IoctlRequest* request, IoctlReply* /*reply*/) {
  if (request->code != IOCTL_RUN || g_sim == nullptr) return 0;
  Simulator& sim = *g_sim;
  {
    // Frames written before Open would wait in the core's queue until the
    // recorder is ready; start producing only once opened.
    std::unique_lock lock(sim.mutex);
    sim.wake.wait(lock, [&] { return sim.opened || sim.closing; });
    if (sim.closing) return 0;
  }
  std::vector<Camera> cameras(static_cast<size_t>(sim.cameras));
  std::vector<std::thread> threads;
  for (size_t i = 0; i < cameras.size(); ++i) {
    cameras[i].index = static_cast<uint16_t>(i);
    cameras[i].provider = kCamsimId | static_cast<ModuleId>(i + 1);
    threads.emplace_back(CameraLoop, std::ref(sim), std::ref(cameras[i]));
  }
  for (std::thread& thread : threads) thread.join();  // they end at Close
  return 0;
}

// [main thread] Signals the camera threads and the run thread to end; the
// core joins the run thread before it calls Unload.
PLUGIN_EXPORT int32_t Close(const CloseRequest* /*request*/, CloseReply* /*reply*/) {
  if (g_sim == nullptr) return 0;
  {
    std::lock_guard lock(g_sim->mutex);
    g_sim->closing = true;
  }
  g_sim->wake.notify_all();
  return 0;
}

// [main thread] The run thread has returned by now.
PLUGIN_EXPORT int32_t Unload(const UnloadRequest* /*request*/, UnloadReply* /*reply*/) {
  delete g_sim;
  g_sim = nullptr;
  return 0;
}
