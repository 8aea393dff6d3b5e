// exporter.cpp - "exporter.dll", the example client of the recorder.
//
// Some seconds after Open it asks for one camera's recording with a read
// request and writes the answers to exports/camera-N.rec in the core's
// working directory, so the copy can be compared with the recording.
//
// The request is an event with providerID 0 (that is what makes it a read
// request), a requestID of our choosing, the class and subtype the recorder
// subscribes to, and the camera index as text (see camera_protocol.h).  The
// answers come back as ordinary events through Write, carrying the same
// requestID; an empty answer ends the stream.  If the plugin is closed before
// the stream ended, it cancels the request (eventType 4096, providerID 0), so
// the recorder's next answer is refused and its reader stops.
//
// Write appends each answer to a file.  A short buffered append is the kind
// of work Write may do on the dispatcher; anything that can wait (network,
// a slow disk, another thread) belongs on a thread of the plugin's own, as in
// the recorder.  The answer block is not kept: its bytes are copied before
// Write returns, which also frees the recorder to send its next answer.
//
// Settings, from exporter.conf in the working directory (all optional):
//   camera = 0              camera whose recording is exported
//   after_seconds = 5       delay after Open, 0..3600
//   directory = exports
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>

#include "camera_protocol.h"
#include "plugin_support.h"
#include "recording-core/plugin_abi.h"

namespace {

constexpr ModuleId kExporterId = 0x00050000u;  // module number 5
constexpr uint32_t kRequestId = 0x00050001u;   // any non-zero value of ours

struct Exporter {
  CoreWriteFn write = nullptr;
  example::PluginLog log;
  int camera = 0;
  std::chrono::seconds delay{5};
  std::filesystem::path file;

  std::mutex mutex;
  std::condition_variable wake;
  bool opened = false, closing = false;  // guarded by mutex
  bool requested = false, ended = false;  // guarded by mutex
  FILE* out = nullptr;                     // dispatcher only, then Close
  uint64_t bytes = 0, answers = 0;         // dispatcher only
};

Exporter* g_exp = nullptr;

void EndExport(Exporter& exp, const char* how) {
  if (exp.out != nullptr) std::fclose(exp.out);
  exp.out = nullptr;
  exp.log.Write(25, "export of camera %d %s: %llu bytes in %llu answers", exp.camera, how,
                static_cast<unsigned long long>(exp.bytes), static_cast<unsigned long long>(exp.answers));
}

}  // namespace

// [main thread]
PLUGIN_EXPORT int32_t Load(const LoadRequest* request, LoadReply* reply) {
  delete g_exp;
  g_exp = new Exporter;
  g_exp->write = request->write;
  g_exp->log.Bind(request->write, kExporterId);
  example::Settings settings = example::Settings::Read("exporter.conf");
  g_exp->camera = static_cast<int>(settings.Int("camera", 0, 0, CAMERA_MAX_CAMERAS - 1));
  g_exp->delay = std::chrono::seconds(settings.Int("after_seconds", 5, 0, 3600));
  g_exp->file = std::filesystem::path(settings.Text("directory", "exports")) /
                ("camera-" + std::to_string(g_exp->camera) + ".rec");
  for (const std::string& problem : settings.problems()) g_exp->log.Write(50, "%s", problem.c_str());

  reply->systemID = kExporterId;
  reply->subscriptionMasks[7] = RECORDING_ANSWER_QUEUED_KEY;  // the recorder's answers
  reply->runThread = 1;
  reply->acceptsWrite = 1;
  reply->logLevel = 25;
  return 0;
}

// [main thread] Opens the export file; the run thread sends the request.
PLUGIN_EXPORT int32_t Open(const OpenRequest* /*request*/, OpenReply* /*reply*/) {
  if (g_exp == nullptr) return 1;
  std::error_code ignored;
  std::filesystem::create_directories(g_exp->file.parent_path(), ignored);
  g_exp->out = std::fopen(g_exp->file.c_str(), "wb");
  if (g_exp->out == nullptr) g_exp->log.Write(75, "cannot create %s", g_exp->file.c_str());
  {
    std::lock_guard lock(g_exp->mutex);
    g_exp->opened = true;
  }
  g_exp->wake.notify_all();
  return g_exp->out != nullptr ? 0 : 1;
}

// [plugin run thread] Waits `after_seconds` past Open, sends the request,
// then waits for Close.
PLUGIN_EXPORT int32_t IOCTL(const IoctlRequest* request, IoctlReply* /*reply*/) {
  if (request->code != IOCTL_RUN || g_exp == nullptr) return 0;
  Exporter& exp = *g_exp;
  std::unique_lock lock(exp.mutex);
  exp.wake.wait(lock, [&] { return exp.opened || exp.closing; });
  const auto due = std::chrono::steady_clock::now() + exp.delay;
  if (exp.wake.wait_until(lock, due, [&] { return exp.closing; })) return 0;
  exp.requested = true;
  lock.unlock();

  const std::string camera = std::to_string(exp.camera);
  CoreEvent ask = example::MakeEvent(0, RECORDING_EVENT_CLASS, RECORDING_REQUEST_SUBTYPE, camera.data(),
                                     static_cast<int32_t>(camera.size()));
  ask.requestID = kRequestId;
  example::WriteEvent(exp.write, ask);  // the core copies the payload for each reader

  lock.lock();
  exp.wake.wait(lock, [&] { return exp.closing; });
  return 0;
}

// [dispatcher] One answer: append it; an empty one ends the export.
PLUGIN_EXPORT int32_t Write(const DeliveredEvent* event, WriteReply* /*reply*/) {
  if (g_exp == nullptr || event->requestID != kRequestId) return 0;
  Exporter& exp = *g_exp;
  if (exp.out == nullptr) return 0;
  ++exp.answers;
  if (event->data == nullptr || event->dataSize <= 0) {
    EndExport(exp, "done");
    std::lock_guard lock(exp.mutex);
    exp.ended = true;
    return 0;
  }
  const size_t size = static_cast<size_t>(event->dataSize);
  if (std::fwrite(event->data, 1, size, exp.out) != size) {
    EndExport(exp, "failed, disk full?");
    return 1;
  }
  exp.bytes += size;
  return 0;
}

// [main thread] Cancels an unfinished request and ends the run thread.
PLUGIN_EXPORT int32_t Close(const CloseRequest* /*request*/, CloseReply* /*reply*/) {
  if (g_exp == nullptr) return 0;
  bool cancel;
  {
    std::lock_guard lock(g_exp->mutex);
    g_exp->closing = true;
    cancel = g_exp->requested && !g_exp->ended;
  }
  g_exp->wake.notify_all();
  if (cancel) {
    CoreEvent stop = example::MakeEvent(0, EVENT_CANCEL_REQUEST, 0, nullptr, 0);
    stop.requestID = kRequestId;
    example::WriteEvent(g_exp->write, stop);
  }
  if (g_exp->out != nullptr) EndExport(*g_exp, "cancelled");
  return 0;
}

// [main thread] The run thread has returned.
PLUGIN_EXPORT int32_t Unload(const UnloadRequest* /*request*/, UnloadReply* /*reply*/) {
  delete g_exp;
  g_exp = nullptr;
  return 0;
}
