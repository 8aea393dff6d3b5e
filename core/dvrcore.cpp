#include "core/dvrcore.h"

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/filesystem/path.hpp>
#include <tinyxml.h>

#include "configstore/config_backup.h"
#include "configstore/config_bringup.h"
#include "core/console_line.h"
#include "base/log.h"
#include "platform/file_ops.h"
#include "platform/platform.h"
#include "configstore/core_config.h"
#include "configstore/post_document.h"
#include "pluginhost/plugin_host.h"
#include "configstore/product_document.h"
#include "pluginhost/status_document.h"

namespace core {

const char kBuildVersion[] = "20.12.8.0";

namespace {

// The one core object, for the C callbacks handed to plugins.  Set by the
// constructor and never cleared.
dvrcore* g_core = nullptr;

dvrcore* FromContext(CoreContext* self) {
  // The context is the core object's first member, so its address is the
  // object's address.
  return reinterpret_cast<dvrcore*>(self);
}

void ContextDestroy(CoreContext*) {
  // The core object belongs to the process entry; a plugin cannot end it.
}

int64_t* ContextNow(CoreContext*, int64_t* slot) {
  *slot = platform::SteadyNowNs();
  return slot;
}

void ContextPublishMemoryState(CoreContext* self) { FromContext(self)->PublishMemoryState(); }

void ContextLogLine(CoreContext* self, ModuleId module, int32_t level, const char* text) {
  FromContext(self)->ConsoleSink(module, level, text);
}

const CoreContextTable kContextTable = {&ContextDestroy, &ContextNow, &ContextPublishMemoryState,
                                        &ContextLogLine};

}  // namespace

dvrcore::dvrcore(std::string executablePath)
    : context_{&kContextTable},
      monitorTimer_(io_, std::chrono::milliseconds(100)),
      bridge_(*this),
      pipe_(io_, bridge_),
      bus_(thresholds_, plugins_, bridge_),
      executablePath_(std::move(executablePath)),
      monitor_(monitorTimer_,
               MonitorHost{&dvrcore::WriteToCore, [this] { PublishMemoryState(); },
                           [this](bool on) { bus_.SetThrottling(on); },
                           [this] { return throttlingSwitch_; },
                           [this](uint64_t limit) { bus_.Budget().SetMemoryLimit(limit); }},
               systemInfo_) {
  static_assert(std::is_standard_layout_v<CoreContext>);
  g_core = this;
}

dvrcore::~dvrcore() {
  // Blocks that plugins kept and never released are reported once, at level
  // 0: the stop flag is set by now, so the report reaches the console only.
  bus_.LogLeakReport();
  // A request thread that has not finished (its plugin was unloaded while
  // it answered, its library kept) still uses the bus: the process ends here
  // rather than destroy the bus under it.
  if (bus_.RequestThreadsRunning()) platform::EndProcessNow(0);
}

int32_t dvrcore::WriteToCore(const CoreEvent* event, WriteResult* result) noexcept {
  try {
    g_core->bus_.Write(event, result);
  } catch (const std::bad_alloc&) {
    if (result != nullptr) result->code = WRITE_NO_MEMORY;
  }
  return 0;
}

void dvrcore::Log(int32_t level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  base::LogV(CORE_MODULE_ID, &dvrcore::WriteToCore, level, format, args);
  va_end(args);
}

std::string dvrcore::CoreDirectory() const {
  return boost::filesystem::path(executablePath_).parent_path().string();
}

bool dvrcore::Initialise(int64_t pipeHandle) {
  names_.Set(CORE_MODULE_ID, "core");
  colour_ = platform::ConsoleSupportsColour();
  // The pipe logs "failed to open ipc pipe" itself when it cannot attach.
  return pipe_.Open(pipeHandle);
}

void dvrcore::RequestStop() { bus_.RequestStop(); }

void dvrcore::ConsoleSink(ModuleId module, int32_t level, const char* text) {
  if (text == nullptr || pipe_.Background()) return;
  const std::string line =
      FormatConsoleLine(colour_, level, platform::WallNowSeconds(), names_.Lookup(module), text);
  platform::WriteConsole(line.data(), line.size());
}

void dvrcore::PublishMemoryState() {
  TiXmlDocument document;
  document.InsertEndChild(TiXmlDeclaration("", "", ""));
  TiXmlElement root("Vexo");
  TiXmlElement memory("Memory");
  memory.SetAttribute("ID", static_cast<int>(static_cast<int32_t>(CORE_MODULE_ID)));
  memory.SetAttribute("Throttling", bus_.Throttling() ? 1 : 0);
  memory.SetAttribute("Time", static_cast<int>(static_cast<int32_t>(platform::WallNowSeconds())));
  root.InsertEndChild(memory);
  document.InsertEndChild(root);
  configstore::PostDocument(document, EVENT_MEMORY_STATE, &dvrcore::WriteToCore);
}

void dvrcore::WriteStatusDocument() {
  pluginhost::StatusInputs inputs;
  inputs.executableName = boost::filesystem::path(executablePath_).filename().string();
  inputs.version = version_;
  inputs.productFamily = productFamily_;
  inputs.throttlingSwitch = throttlingSwitch_;
  inputs.supervisorFileName = pipe_.FileName();
  inputs.supervisorVersion = pipe_.Version();
  inputs.plugins = &plugins_;
  inputs.thresholds = &thresholds_;
  inputs.loadProblems = &loadProblems_;
  pluginhost::WriteStatusDocument(inputs, &dvrcore::WriteToCore);
}

void dvrcore::ApplyConfigUpdate(const std::string& text) {
  // Once the stop has begun the plugin list is about to be closed and
  // reordered: deltas are dropped then.  The lock keeps a rewrite that began
  // just before the stop from running into the close pass.
  std::lock_guard<std::mutex> lock(configMutex_);
  if (bus_.Stopping()) return;
  if (configstore::ApplyCoreConfig(text, thresholds_)) WriteStatusDocument();
}

pluginhost::HostContext dvrcore::PluginHostContext() {
  pluginhost::HostContext host;
  host.coreDirectory = CoreDirectory();
  host.context = &context_;
  host.write = &dvrcore::WriteToCore;
  host.thresholds = &thresholds_;
  host.names = &names_;
  host.loadProblems = &loadProblems_;
  host.plugins = &plugins_;
  host.watchdog = &watchdog_;
  return host;
}

void dvrcore::StartIoThread() {
  ioThread_ = std::thread([this] {
    // Keeps the service running between handlers until the stop sequence
    // stops it explicitly.
    auto guard = boost::asio::make_work_guard(io_);
    io_.run();
  });
}

void dvrcore::StopIoThread() {
  io_.stop();
  if (ioThread_.joinable()) ioThread_.join();
}

void dvrcore::run() {
  version_ = kBuildVersion;
  plugins_.Modify([](pluginhost::PluginList::Records& records) { records.clear(); });

  // SIGINT (and SIGTERM, how a service manager asks for a stop) requests an
  // orderly stop once; after the stop sequence the default effect returns.
  signals_ = std::make_unique<boost::asio::signal_set>(io_, SIGINT, SIGTERM);
  signals_->async_wait([this](const boost::system::error_code&, int) { RequestStop(); });

  const std::string coreDirectory = CoreDirectory();

  configstore::BringUpHost bringUp;
  bringUp.write = &dvrcore::WriteToCore;
  bringUp.stopRequested = [this] { return bus_.Stopping(); };
  bringUp.pollIo = [this] { io_.poll_one(); };
  bringUp.deliverLogOnce = [this](const std::string& directory, const std::string& text) {
    return pluginhost::DeliverLogOnce(directory, text, &context_);
  };
  bringUp.exitProcess = [](int code) { std::exit(code); };
  configstore::RunConfigBringUp(coreDirectory, bringUp);

  configstore::BackUpConfiguration(coreDirectory, configstore::BackupDirection::kUp,
                                   &dvrcore::WriteToCore);

  configstore::ProductSettings product{productFamily_, version_, throttlingSwitch_};
  configstore::ReadProductAndSettings(&product, thresholds_);
  productFamily_ = product.family;
  version_ = product.version;
  throttlingSwitch_ = product.throttlingSwitch;

  pluginhost::HostContext host = PluginHostContext();
  pluginhost::LoadAllPlugins(host);

  // The mark is taken before the I/O thread can handle the supervisor's
  // message: a daemon that speaks at once is often heard before the wait.
  const uint64_t mark = bus_.NotificationMark();
  if (pipe_.IsOpen()) pipe_.StartReading();
  StartIoThread();
  // Give the supervisor up to 10 seconds to introduce itself, so that the
  // status document names it.  Any notification ends the wait early.
  if (pipe_.IsOpen()) bus_.WaitOnce(mark, std::chrono::seconds(10));

  pluginhost::OpenAll(host);
  pluginhost::StartReadThreads(host);
  monitor_.Start();
  WriteStatusDocument();

  Log(base::kLevelInfo, "successfully started core version %s", version_.c_str());
  bus_.RunDispatcher();

  Log(base::kLevelInfo, "stopping core version %s...", version_.c_str());
  monitor_.Cancel();
  {
    // The stop flag is set: a delta's rewrite still running finishes here,
    // and every later one sees the flag and does nothing.
    std::lock_guard<std::mutex> barrier(configMutex_);
  }
  pluginhost::CloseAll(host);
  StopIoThread();
  pipe_.ReleaseQueued();
  pluginhost::UnloadAll(host);
  configstore::BackUpConfiguration(coreDirectory, configstore::BackupDirection::kDown,
                                   &dvrcore::WriteToCore);
  signals_.reset();
}

void dvrcore::Bridge::ConsoleSink(ModuleId module, int32_t level, const char* text) {
  core_.ConsoleSink(module, level, text);
}

int32_t dvrcore::Bridge::SubmitToSupervisor(void* data, int64_t size) {
  return core_.pipe_.Submit(data, size);
}

void dvrcore::Bridge::PostApplyCoreConfig(std::string text) {
  boost::asio::post(core_.io_, [this, text = std::move(text)] { core_.ApplyConfigUpdate(text); });
}

void dvrcore::Bridge::RequestStop() { core_.RequestStop(); }

void dvrcore::Bridge::NotifyUnderQueueMutex(const std::function<void()>& fn) {
  core_.bus_.NotifyUnderQueueMutex(fn);
}

pluginhost::PluginList& dvrcore::Bridge::Plugins() { return core_.plugins_; }

}  // namespace core
