// statusview.cpp - "statusview.dll", the example viewer of the module status
// document.
//
// The core publishes its module status document (every module with its
// times, open result and log thresholds) as a configuration update whenever
// it writes the document: at start-up and after every change of thresholds.
// Configuration updates reach every plugin through IOCTL code 2, whatever its
// subscriptions, so this plugin subscribes to nothing and sets no flag.  It
// reads the document and prints the module table on the core's console,
// through the logLine slot of the core context: one console line per table
// row, without passing through the bus (so the table is not cut at 511
// characters and does not go to the log file).  A table equal to the last
// one printed is not printed again.
//
// Other plugins' configuration documents arrive the same way; those that
// are not a full module status document (other roots, deltas) are skipped.
// The document text is bounded by the buffer length: it carries no NUL.
//
// Settings, from statusview.conf in the working directory (all optional):
//   output = console        console: through logLine; log: as log messages
//   level = 25              level of the printed lines
#include <string>
#include <vector>

#include "plugin_support.h"
#include "recording-core/plugin_abi.h"
#include "tools/module_table.h"

namespace {

constexpr ModuleId kStatusViewId = 0x00040000u;  // module number 4

struct Viewer {
  CoreContext* context = nullptr;
  example::PluginLog log;
  bool toConsole = true;
  int32_t level = 25;
  std::string lastPrinted;  // dispatcher only: configuration updates come one at a time
};

Viewer* g_viewer = nullptr;

void Print(Viewer& viewer, const std::vector<std::string>& lines) {
  const CoreContextTable* table = viewer.context != nullptr ? viewer.context->table : nullptr;
  for (const std::string& line : lines) {
    if (viewer.toConsole && table != nullptr && table->logLine != nullptr) {
      table->logLine(viewer.context, kStatusViewId, viewer.level, line.c_str());
    } else {
      viewer.log.Write(viewer.level, "%s", line.c_str());
    }
  }
}

}  // namespace

// [main thread]
PLUGIN_EXPORT int32_t Load(const LoadRequest* request, LoadReply* reply) {
  delete g_viewer;
  g_viewer = new Viewer;
  g_viewer->context = request->context;
  g_viewer->log.Bind(request->write, kStatusViewId);
  example::Settings settings = example::Settings::Read("statusview.conf");
  g_viewer->toConsole = settings.Text("output", "console") != "log";
  g_viewer->level = static_cast<int32_t>(settings.Int("level", 25, 0, 100));
  for (const std::string& problem : settings.problems()) g_viewer->log.Write(50, "%s", problem.c_str());

  reply->systemID = kStatusViewId;
  reply->logLevel = 25;
  return 0;
}

// [main thread] Nothing to start: the plugin only reacts to configuration
// updates.  Open and Close are exported all the same, because the core
// records a missing entry point as the result code -100, which the module
// table would then show.
PLUGIN_EXPORT int32_t Open(const OpenRequest* /*request*/, OpenReply* /*reply*/) {
  return g_viewer != nullptr ? 0 : 1;
}

// [main thread] Nothing runs on threads of the plugin's own.
PLUGIN_EXPORT int32_t Close(const CloseRequest* /*request*/, CloseReply* /*reply*/) { return 0; }

// [dispatcher] code 2: a configuration document; [io-thread] code 4: a
// supervisor message, not used here.  Never fails a document it does not
// understand: a non-zero error would only make the core log the delivery.
PLUGIN_EXPORT int32_t IOCTL(const IoctlRequest* request, IoctlReply* /*reply*/) {
  if (g_viewer == nullptr || request->code != IOCTL_CONFIG_UPDATE ||
      request->buffer.data == nullptr || request->buffer.length == 0)
    return 0;
  const std::string text(static_cast<const char*>(request->buffer.data), request->buffer.length);
  tools::ModuleTable table;
  std::string error;
  if (!tools::ParseModuleTable(text, &table, &error) || table.delta) return 0;

  const std::vector<std::string> lines = tools::FormatModuleTable(table);
  std::string joined;
  for (const std::string& line : lines) joined += line + '\n';
  if (joined == g_viewer->lastPrinted) return 0;
  g_viewer->lastPrinted = joined;
  Print(*g_viewer, lines);
  return 0;
}

// [main thread]
PLUGIN_EXPORT int32_t Unload(const UnloadRequest* /*request*/, UnloadReply* /*reply*/) {
  delete g_viewer;
  g_viewer = nullptr;
  return 0;
}
