// ipcam.cpp - "ipcam.dll", the example camera plugin for real streams.
//
// Each configured camera is a URL that FFmpeg's libavformat opens: rtsp://
// (RTP over the RTSP connection, TCP), http:// and a local file, which is
// played at its own rate and, by default, in a loop.  The plugin does not
// decode: every compressed access unit of the stream's video goes onto the
// bus as it came (H.264 and H.265 in Annex B form; a stream that carries its
// parameter sets out of band, as MP4 files do, is converted to Annex B
// without touching the pictures), as a coded-frame event with the key-frame
// attribute set from the stream.  Before the first frame of every connection
// the camera writes its codec parameters (camera_protocol.h).
//
// Threads.  Like camsim, the plugin asks for a run thread, waits there for
// Open and runs one thread per camera until Close.  A camera's thread is the
// only place that waits for its stream, so a camera that stops sending
// holds up nothing but itself: every blocking libavformat call is bounded by
// an interrupt callback that gives up after `connect_seconds` while
// connecting, after `stall_seconds` without a packet while streaming, and at
// once when the plugin closes.
//
// Losses.  A stream that ends, fails, stalls or sends only garbage is a
// loss: the camera logs it, waits (500 ms, doubled after each failed
// attempt up to `retry_max_ms`) and connects again; a connection that
// delivered frames for a while starts the wait over at the minimum.  Each
// connect, loss and reconnect is logged with the camera's name and its URL
// with any credentials masked.
//
// Refusals.  The core refuses a dependent frame without an admitted key
// frame (3), past its run limit (4) and video frames when it throttles
// memory (5).  None of these is the stream's fault: the camera skips frames
// until the next key frame and goes on, the connection stays.
//
// Module ids.  As in camsim, camera i writes under the plugin's id with
// i + 1 in the low 16 bits (0x00060001, ...), because the core admits frames
// per provider.
//
// Status.  Every camera writes a CameraStatus event (status_events.h) once a
// second and at once on every connect and loss.
//
// Settings, from ipcam.conf in the working directory:
//   camera0 = NAME URL      one line per camera, camera0 .. camera15
//   connect_seconds = 10    time allowed to open a stream, 1..300
//   stall_seconds = 5       time without a packet before the stream counts
//                           as lost, 1..300
//   retry_max_ms = 30000    longest wait between attempts, 500..3600000
//   loop = 1                play a local file over and over (0: once, then
//                           it counts as lost and is opened again)
//   log_level = 25
extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera_protocol.h"
#include "ipcam_camera.h"
#include "ipcam_stream.h"
#include "plugin_support.h"
#include "recording-core/plugin_abi.h"

// The pieces: ipcam_camera.h (the cameras' state, status and waits),
// ipcam_stream.h (a camera's connections and its reconnect loop).  This file
// holds the plugin's entry points.
namespace {

using ipcam::Camera;
using ipcam::CameraConfig;
using ipcam::kIpcamId;
using ipcam::Plugin;

Plugin* g_plugin = nullptr;

}  // namespace

// [main thread]
PLUGIN_EXPORT int32_t Load(const LoadRequest* request, LoadReply* reply) {
  delete g_plugin;
  g_plugin = new Plugin;
  g_plugin->write = request->write;
  g_plugin->context = request->context;
  g_plugin->log.Bind(request->write, kIpcamId);
  // libavutil's log level is one value for the whole process; its own lines
  // would name no camera, so only ours are written.
  av_log_set_level(AV_LOG_FATAL);
  avformat_network_init();

  example::Settings settings = example::Settings::Read("ipcam.conf");
  std::vector<std::string> problems;
  for (int i = 0; i < CAMERA_MAX_CAMERAS; ++i) {
    const std::string key = "camera" + std::to_string(i);
    const std::string line = settings.Text(key, "");
    if (line.empty()) continue;
    const size_t blank = line.find_first_of(" \t");
    const size_t urlStart = blank == std::string::npos ? blank : line.find_first_not_of(" \t", blank);
    if (urlStart == std::string::npos || blank >= CAMERA_NAME_BYTES) {
      problems.push_back("ipcam.conf: " + key + " = '" + line + "' is not 'NAME URL' (a name of at most " +
                         std::to_string(CAMERA_NAME_BYTES - 1) + " characters), camera ignored");
      continue;
    }
    g_plugin->configs.push_back(CameraConfig{line.substr(0, blank), line.substr(urlStart)});
  }
  g_plugin->connectTimeout = std::chrono::seconds(settings.Int("connect_seconds", 10, 1, 300));
  g_plugin->stallTimeout = std::chrono::seconds(settings.Int("stall_seconds", 5, 1, 300));
  g_plugin->retryMax = std::chrono::milliseconds(settings.Int("retry_max_ms", 30000, 500, 3600000));
  g_plugin->loop = settings.Int("loop", 1, 0, 1) != 0;
  const int32_t level = static_cast<int32_t>(settings.Int("log_level", 25, -1, 100));
  for (const std::string& problem : settings.problems()) g_plugin->log.Write(50, "%s", problem.c_str());
  for (const std::string& problem : problems) g_plugin->log.Write(50, "%s", problem.c_str());
  if (g_plugin->configs.empty()) g_plugin->log.Write(50, "ipcam.conf names no camera (camera0 = NAME URL)");

  reply->systemID = kIpcamId;
  reply->runThread = 1;
  reply->logLevel = level;
  return 0;
}

// [main thread] Lets the cameras start.
PLUGIN_EXPORT int32_t Open(const OpenRequest* /*request*/, OpenReply* /*reply*/) {
  if (g_plugin == nullptr) return 1;
  {
    std::lock_guard lock(g_plugin->mutex);
    g_plugin->opened = true;
  }
  g_plugin->wake.notify_all();
  return 0;
}

// [plugin run thread] code 1: one thread per camera from Open to Close.
PLUGIN_EXPORT int32_t IOCTL(const IoctlRequest* request, IoctlReply* /*reply*/) {
  if (request->code != IOCTL_RUN || g_plugin == nullptr) return 0;
  Plugin& plugin = *g_plugin;
  {
    std::unique_lock lock(plugin.mutex);
    plugin.wake.wait(lock, [&] { return plugin.opened || plugin.closing.load(); });
    if (plugin.closing) return 0;
  }
  std::vector<std::unique_ptr<Camera>> cameras;
  std::vector<std::thread> threads;
  for (size_t i = 0; i < plugin.configs.size(); ++i) {
    auto cam = std::make_unique<Camera>();
    cam->plugin = &plugin;
    cam->index = static_cast<uint16_t>(i);
    cam->provider = kIpcamId | static_cast<ModuleId>(i + 1);
    cam->config = plugin.configs[i];
    cam->maskedUrl = ipcam::MaskCredentials(cam->config.url);
    threads.emplace_back(ipcam::CameraLoop, std::ref(*cam));
    cameras.push_back(std::move(cam));
  }
  for (std::thread& thread : threads) thread.join();  // they end at Close
  return 0;
}

// [main thread] Signals every camera to stop; blocking reads give up at
// their next interrupt check.
PLUGIN_EXPORT int32_t Close(const CloseRequest* /*request*/, CloseReply* /*reply*/) {
  if (g_plugin == nullptr) return 0;
  {
    std::lock_guard lock(g_plugin->mutex);
    g_plugin->closing = true;
  }
  g_plugin->wake.notify_all();
  return 0;
}

// [main thread] The run thread has returned by now.
PLUGIN_EXPORT int32_t Unload(const UnloadRequest* /*request*/, UnloadReply* /*reply*/) {
  if (g_plugin != nullptr) avformat_network_deinit();
  delete g_plugin;
  g_plugin = nullptr;
  return 0;
}
