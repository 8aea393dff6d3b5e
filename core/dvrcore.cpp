#include "core/dvrcore.h"

#include <csignal>
#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <new>
#include <type_traits>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/filesystem/path.hpp>

#include "base/log.h"
#include "configstore/config_backup.h"
#include "configstore/config_bringup.h"
#include "core/console_line.h"
#include "platform/platform.h"

namespace core {

const char kBuildVersion[] = "20.12.8.0";

namespace {

// The one core object, for the C callbacks handed to plugins.  Set by the
// constructor and never cleared.
dvrcore* g_core = nullptr;

static_assert(std::is_standard_layout_v<CoreContextHolder>);
static_assert(offsetof(CoreContextHolder, context) == 0);

// The context is the holder's first member, so the two are
// pointer-interconvertible.
dvrcore* FromContext(CoreContext* self) { return reinterpret_cast<CoreContextHolder*>(self)->core; }

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
    : context_{{&kContextTable}, this},
      executablePath_(std::move(executablePath)),
      settings_(kBuildVersion),
      host_(&context_.context, &dvrcore::WriteToCore, settings_.Thresholds()),
      monitorTimer_(io_, std::chrono::milliseconds(100)),
      pipe_(io_, *this),
      bus_(settings_.Thresholds(), host_.Plugins(), *this),
      monitor_(monitorTimer_, *this, systemInfo_) {
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
  base::LogV(CORE_MODULE_ID, bus_, level, format, args);
  va_end(args);
}

std::string dvrcore::CoreDirectory() const {
  return boost::filesystem::path(executablePath_).parent_path().string();
}

bool dvrcore::Initialise(int64_t pipeHandle) {
  host_.Names().Set(CORE_MODULE_ID, "core");
  colour_ = platform::ConsoleSupportsColour();
  // The pipe logs "failed to open ipc pipe" itself when it cannot attach.
  return pipe_.Open(pipeHandle);
}

void dvrcore::RequestStop() { bus_.RequestStop(); }

void dvrcore::ConsoleSink(ModuleId module, int32_t level, const char* text) {
  if (text == nullptr || pipe_.Background()) return;
  const std::string line = FormatConsoleLine(colour_, level, platform::WallNowSeconds(),
                                             host_.Names().Lookup(module), text);
  platform::WriteConsole(line.data(), line.size());
}

void dvrcore::PublishMemoryState() { settings_.PublishMemoryState(bus_.Throttling(), bus_); }

int32_t dvrcore::SubmitToSupervisor(void* data, int64_t size) { return pipe_.Submit(data, size); }

void dvrcore::OnConfigUpdate(const void* block, std::string_view text) {
  // The core's own status document comes back here too; it changes nothing.
  if (settings_.IsOwnDocument(block)) return;
  boost::asio::post(io_, [this, text = std::string(text)] { ApplyConfigUpdate(text); });
}

void dvrcore::NotifyUnderQueueMutex(const std::function<void()>& fn) {
  bus_.NotifyUnderQueueMutex(fn);
}

void dvrcore::WriteStatusDocument() {
  configstore::StatusSnapshot snapshot;
  snapshot.executableName = boost::filesystem::path(executablePath_).filename().string();
  snapshot.supervisorFileName = pipe_.FileName();
  snapshot.supervisorVersion = pipe_.Version();
  host_.FillStatus(&snapshot);
  settings_.SaveAndPublish(snapshot, bus_);
}

void dvrcore::ApplyConfigUpdate(const std::string& text) {
  // Once the stop has begun the plugin list is about to be closed and
  // reordered: deltas are dropped then.  The lock keeps a rewrite that began
  // just before the stop from running into the close pass.
  std::lock_guard<std::mutex> lock(configMutex_);
  if (bus_.Stopping()) return;
  if (settings_.ApplyDelta(text)) WriteStatusDocument();
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

void dvrcore::BringUpConfiguration(const std::string& coreDirectory) {
  configstore::RunConfigBringUp(coreDirectory, *this);
  configstore::BackUpConfiguration(coreDirectory, configstore::BackupDirection::kUp,
                                   &dvrcore::WriteToCore);
  settings_.ReadStored();
}

void dvrcore::WaitForSupervisor() {
  // The mark is taken before the I/O thread can handle the supervisor's
  // message: a daemon that speaks at once is often heard before the wait.
  const uint64_t mark = bus_.NotificationMark();
  if (pipe_.IsOpen()) pipe_.StartReading();
  StartIoThread();
  // Give the supervisor up to 10 seconds to introduce itself, so that the
  // status document names it.  Any notification ends the wait early.
  if (pipe_.IsOpen()) bus_.WaitOnce(mark, std::chrono::seconds(10));
}

void dvrcore::run() {
  // SIGINT (and SIGTERM, how a service manager asks for a stop) requests an
  // orderly stop once; after the stop sequence the default effect returns.
  signals_ = std::make_unique<boost::asio::signal_set>(io_, SIGINT, SIGTERM);
  signals_->async_wait([this](const boost::system::error_code&, int) { RequestStop(); });

  const std::string coreDirectory = CoreDirectory();
  BringUpConfiguration(coreDirectory);
  host_.SetCoreDirectory(coreDirectory);
  host_.LoadAll();
  WaitForSupervisor();
  host_.OpenAll();
  host_.StartReadThreads();
  monitor_.Start();
  WriteStatusDocument();

  const std::string& version = settings_.Product().version;
  Log(base::kLevelInfo, "successfully started core version %s", version.c_str());
  bus_.RunDispatcher();

  Log(base::kLevelInfo, "stopping core version %s...", version.c_str());
  monitor_.Cancel();
  {
    // The stop flag is set: a delta's rewrite still running finishes here,
    // and every later one sees the flag and does nothing.
    std::lock_guard<std::mutex> barrier(configMutex_);
  }
  host_.CloseAll();
  StopIoThread();
  pipe_.ReleaseQueued();
  host_.UnloadAll();
  configstore::BackUpConfiguration(coreDirectory, configstore::BackupDirection::kDown,
                                   &dvrcore::WriteToCore);
  signals_.reset();
}

}  // namespace core
