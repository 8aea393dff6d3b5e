// webview.cpp - "webview.dll", the operator's view of the server: a status
// page, Prometheus metrics, the same data as JSON, and the recorded segments
// over HTTP (see http_server.h for the addresses and the defences).
//
// Everything it shows comes from the bus:
//   - the module status document, which the core hands to every plugin
//     through IOCTL code 2 (its Memory/@Throttling is the throttling switch);
//   - the core's memory state documents, class 2, published when the
//     throttling flag changes;
//   - the cameras' and recorders' status events, class 7 (status_events.h).
//
// Threads.  Write and IOCTL code 2 run on the core's dispatcher, which must
// never wait for us: they count the event and copy the text they need into
// an inbox, under a lock held only for that, and return.  The HTTP server
// runs on the plugin's run thread (IOCTL code 1), which takes the inbox's
// texts from time to time, parses them and keeps the model, so parsing and
// rendering never happen on the dispatcher.  Close stops the server; the run
// thread then returns.
//
// Settings, from webview.conf in the working directory (all optional):
//   address = 127.0.0.1     where to listen; only loopback unless allow_remote = 1
//   port = 8780             0 picks a free port (the log line names it)
//   allow_remote = 0        1 allows a non-loopback address
//   max_connections = 256   connections beyond are answered 503 and closed
//   header_limit = 8192     bytes of request line and header fields
//   request_timeout = 10    seconds for a request to arrive or an answer to leave
//   refresh_seconds = 5     how often the status page reloads itself
//   log_level = 25
#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "http_server.h"
#include "plugin_support.h"
#include "recording-core/plugin_abi.h"
#include "status_events.h"

namespace {

constexpr ModuleId kWebviewId = 0x00070000u;  // module number 7
constexpr uint32_t kXmlDocumentQueuedKey = 0x02000010u;  // the core's documents, subtype 0x01000010
constexpr size_t kMaxWaitingTexts = 4096;  // beyond, texts are dropped and counted
constexpr int32_t kMaxTextBytes = 1 << 20;

enum class TextKind { kConfig, kMemory, kCamera, kRecorder };

struct WaitingText {
  TextKind kind;
  uint32_t provider;
  std::string text;
};

struct Webview {
  example::PluginLog log;
  webview::ServerOptions options;

  std::mutex mutex;
  std::condition_variable wake;
  bool opened = false;                        // guarded by mutex
  bool closing = false;                       // guarded by mutex
  webview::Server* server = nullptr;          // guarded by mutex; owned by the run thread
  std::vector<WaitingText> inbox;             // guarded by mutex
  std::map<std::pair<uint32_t, int>, uint64_t> events;  // guarded by mutex
  uint64_t dropped = 0;                       // guarded by mutex
};

Webview* g_web = nullptr;

void Post(Webview& web, TextKind kind, uint32_t provider, const void* data, int32_t size) {
  std::string text;
  if (data != nullptr && size > 0 && size <= kMaxTextBytes) text.assign(static_cast<const char*>(data), size);
  std::lock_guard lock(web.mutex);
  if (text.empty() || web.inbox.size() >= kMaxWaitingTexts) {
    ++web.dropped;
    return;
  }
  web.inbox.push_back({kind, provider, std::move(text)});
}

// [plugin run thread] Applies the waiting texts to the model.
void Refresh(Webview& web, webview::StatusModel& model) {
  std::vector<WaitingText> texts;
  uint64_t dropped = 0;
  {
    std::lock_guard lock(web.mutex);
    texts.swap(web.inbox);
    model.events = web.events;
    dropped = web.dropped;
  }
  for (const WaitingText& waiting : texts) {
    std::string error;
    bool ok = true;
    switch (waiting.kind) {
      case TextKind::kConfig: ok = ApplyConfigDocument(model, waiting.text, &error); break;
      case TextKind::kMemory: ok = ApplyMemoryState(model, waiting.text, &error); break;
      case TextKind::kCamera: ok = ApplyCameraStatus(model, waiting.provider, waiting.text, &error); break;
      case TextKind::kRecorder: ok = ApplyRecorderStatus(model, waiting.provider, waiting.text, &error); break;
    }
    if (!ok && model.documentsRefused++ < 20)  // a plugin gone wrong would flood the log
      web.log.Write(50, "ignored a status text from 0x%08x: %s", waiting.provider, error.c_str());
  }
  model.textsDropped = dropped;
}

void ServeUntilClose(Webview& web) {
  webview::ServerHooks hooks;
  hooks.refresh = [&web](webview::StatusModel& model) { Refresh(web, model); };
  hooks.log = [&web](int level, const std::string& text) { web.log.Write(level, "%s", text.c_str()); };
  webview::Server server(web.options, std::move(hooks));
  std::string error;
  if (!server.Listen(&error)) {
    web.log.Write(75, "status page not served: %s", error.c_str());
    return;
  }
  {
    std::lock_guard lock(web.mutex);
    if (web.closing) return;
    web.server = &server;
  }
  const std::string host = web.options.address.find(':') != std::string::npos ? "[" + web.options.address + "]"
                                                                              : web.options.address;
  web.log.Write(25, "status page on http://%s:%u/", host.c_str(), server.port());
  server.Run();
  std::lock_guard lock(web.mutex);
  web.server = nullptr;
}

}  // namespace

// [main thread]
PLUGIN_EXPORT int32_t Load(const LoadRequest* request, LoadReply* reply) {
  delete g_web;
  g_web = new Webview;
  g_web->log.Bind(request->write, kWebviewId);
  example::Settings settings = example::Settings::Read("webview.conf");
  webview::ServerOptions& o = g_web->options;
  o.address = settings.Text("address", "127.0.0.1");
  o.port = static_cast<uint16_t>(settings.Int("port", 8780, 0, 65535));
  o.allowRemote = settings.Int("allow_remote", 0, 0, 1) == 1;
  o.maxConnections = static_cast<size_t>(settings.Int("max_connections", 256, 1, 100000));
  o.headerLimit = static_cast<uint32_t>(settings.Int("header_limit", 8192, 1024, 1 << 20));
  o.requestTimeout = std::chrono::seconds(settings.Int("request_timeout", 10, 1, 3600));
  o.refreshSeconds = static_cast<int>(settings.Int("refresh_seconds", 5, 1, 3600));
  const int32_t level = static_cast<int32_t>(settings.Int("log_level", 25, -1, 100));
  for (const std::string& problem : settings.problems()) g_web->log.Write(50, "%s", problem.c_str());

  reply->systemID = kWebviewId;
  reply->subscriptionMasks[2] = kXmlDocumentQueuedKey;  // memory state documents
  reply->subscriptionMasks[7] = CAMERA_STATUS_QUEUED_KEY | RECORDER_STATUS_QUEUED_KEY;
  reply->acceptsWrite = 1;
  reply->runThread = 1;
  reply->logLevel = level;
  return 0;
}

// [main thread] Lets the run thread start serving.
PLUGIN_EXPORT int32_t Open(const OpenRequest* /*request*/, OpenReply* /*reply*/) {
  if (g_web == nullptr) return 1;
  {
    std::lock_guard lock(g_web->mutex);
    g_web->opened = true;
  }
  g_web->wake.notify_all();
  return 0;
}

// [dispatcher] Counts the event and copies the status texts; nothing else.
PLUGIN_EXPORT int32_t Write(const DeliveredEvent* event, WriteReply* /*reply*/) {
  if (g_web == nullptr) return 0;
  {
    std::lock_guard lock(g_web->mutex);
    for (int cls = 0; cls < 8; ++cls)
      if (event->eventType & EVENT_CLASS(cls)) ++g_web->events[{event->providerID, cls}];
    if (event->eventType & EVENT_CLASS8) ++g_web->events[{event->providerID, 8}];
  }
  if ((event->eventType & EVENT_MEMORY_STATE) != 0) {
    Post(*g_web, TextKind::kMemory, event->providerID, event->data, event->dataSize);
  } else if ((event->eventType & STATUS_EVENT_CLASS) != 0 && event->eventSubtype == CAMERA_STATUS_SUBTYPE) {
    Post(*g_web, TextKind::kCamera, event->providerID, event->data, event->dataSize);
  } else if ((event->eventType & STATUS_EVENT_CLASS) != 0 && event->eventSubtype == RECORDER_STATUS_SUBTYPE) {
    Post(*g_web, TextKind::kRecorder, event->providerID, event->data, event->dataSize);
  }
  return 0;
}

// [plugin run thread] code 1: serves from Open to Close.  [dispatcher] code
// 2: a configuration document, copied for the run thread.  [io-thread] code
// 4: nothing to do.
PLUGIN_EXPORT int32_t IOCTL(const IoctlRequest* request, IoctlReply* /*reply*/) {
  if (g_web == nullptr) return 0;
  Webview& web = *g_web;
  if (request->code == IOCTL_CONFIG_UPDATE) {
    {
      std::lock_guard lock(web.mutex);
      ++web.events[{0u, -1}];  // the sender of a document is not named
    }
    Post(web, TextKind::kConfig, 0, request->buffer.data, static_cast<int32_t>(request->buffer.length));
    return 0;
  }
  if (request->code != IOCTL_RUN) return 0;
  {
    std::unique_lock lock(web.mutex);
    web.wake.wait(lock, [&] { return web.opened || web.closing; });
    if (web.closing) return 0;
  }
  ServeUntilClose(web);
  return 0;
}

// [main thread] Stops the server; the run thread returns soon after.
PLUGIN_EXPORT int32_t Close(const CloseRequest* /*request*/, CloseReply* /*reply*/) {
  if (g_web == nullptr) return 0;
  std::lock_guard lock(g_web->mutex);
  g_web->closing = true;
  if (g_web->server != nullptr) g_web->server->Stop();
  g_web->wake.notify_all();
  return 0;
}

// [main thread] The run thread has returned by now.
PLUGIN_EXPORT int32_t Unload(const UnloadRequest* /*request*/, UnloadReply* /*reply*/) {
  delete g_web;
  g_web = nullptr;
  return 0;
}
