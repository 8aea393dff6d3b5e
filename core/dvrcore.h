// dvrcore: the one core object of the process.  It owns everything that
// lives for the run (plugin list, module names, I/O service, supervisor pipe,
// event bus, thresholds, monitor state) and runs the fixed start sequence,
// the dispatcher and the fixed stop sequence.
//
// Its address is handed to every plugin as LoadRequest.context, so the first
// member is the CoreContext whose table (destroy, now, publish memory state,
// console sink) plugins may call.  The process-wide pointer that the C write
// callback uses is set by the constructor and never cleared.
//
// Threads: constructed, initialised, run and destroyed on the main thread;
// the I/O thread runs io_ (pipe, monitor ticks, signal handler, config
// deltas); any thread may enter WriteToCore.
#ifndef CORE_DVRCORE_H_
#define CORE_DVRCORE_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "base/log_thresholds.h"
#include "base/module_names.h"
#include "core/monitor.h"
#include "eventbus/event_bus.h"
#include "recording-core/plugin_abi.h"
#include "platform/system_info.h"
#include "pluginhost/plugin_host.h"
#include "pluginhost/plugin_info.h"
#include "supervisor/supervisor_pipe.h"

namespace core {

extern const char kBuildVersion[];  // "20.12.8.0"

class dvrcore {
 public:
  explicit dvrcore(std::string executablePath);
  ~dvrcore();
  dvrcore(const dvrcore&) = delete;
  dvrcore& operator=(const dvrcore&) = delete;

  // [main] Names the core module, detects console colour and attaches the
  // supervisor pipe (-1: none).  False when the pipe cannot be attached;
  // "failed to open ipc pipe" is then logged.
  bool Initialise(int64_t pipeHandle);

  // [main] Start steps, the dispatcher until a stop, stop steps.
  void run();

  // [any-thread] Sets the stop flag under the queue mutex and wakes the
  // dispatcher.  Never cleared.
  void RequestStop();

  // The write callback handed to plugins and used by the core's own logging.
  // Nothing unwinds out of it into a plugin's frames (a C plugin has no
  // unwind tables): a failed allocation is the code -1, and any other
  // failure of the core's machinery ends the process.
  static int32_t WriteToCore(const CoreEvent* event, WriteResult* result) noexcept;

  // [any-thread] Console sink: one log line, unless the core runs in the
  // background.
  void ConsoleSink(ModuleId module, int32_t level, const char* text);

  // [any-thread] Builds and publishes the memory state document.
  void PublishMemoryState();

  CoreContext* Context() { return &context_; }
  const std::string& ExecutablePath() const { return executablePath_; }
  std::string CoreDirectory() const;

 private:
  // Adapter through which the bus and the pipe reach the core object.
  class Bridge : public eventbus::BusHost, public supervisor::PipeHost {
   public:
    explicit Bridge(dvrcore& core) : core_(core) {}
    void ConsoleSink(ModuleId module, int32_t level, const char* text) override;
    int32_t SubmitToSupervisor(void* data, int64_t size) override;
    void PostApplyCoreConfig(std::string text) override;
    CoreWriteFn Writer() override { return &dvrcore::WriteToCore; }
    void RequestStop() override;
    void NotifyUnderQueueMutex(const std::function<void()>& fn) override;
    pluginhost::PluginList& Plugins() override;

   private:
    dvrcore& core_;
  };

  void Log(int32_t level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  pluginhost::HostContext PluginHostContext();
  void WriteStatusDocument();
  void ApplyConfigUpdate(const std::string& text);
  void StartIoThread();
  void StopIoThread();

  // Must stay the first member: plugins find the interface table at the
  // object's address.
  CoreContext context_;

  pluginhost::PluginList plugins_;
  base::ModuleNameMap names_;
  std::map<std::string, std::string> loadProblems_;  // written only while loading
  base::LogThresholds thresholds_;

  boost::asio::io_context io_;
  boost::asio::steady_timer monitorTimer_;
  Bridge bridge_;
  supervisor::SupervisorPipe pipe_;
  eventbus::EventBus bus_;

  std::string executablePath_;
  std::string productFamily_ = "Orvane";
  std::string version_;
  bool colour_ = true;
  bool throttlingSwitch_ = true;  // written before the I/O thread starts

  // Held by a delta's application and status rewrite on the I/O thread, and
  // taken once by the stop sequence before the close pass, so that no
  // rewrite reads the plugin list while the close pass reorders it.
  std::mutex configMutex_;

  pluginhost::PluginWatchdog watchdog_{&dvrcore::WriteToCore};
  platform::LinuxSystemInfo systemInfo_;
  MemoryMonitor monitor_;

  std::unique_ptr<boost::asio::signal_set> signals_;
  std::thread ioThread_;
};

}  // namespace core

#endif  // CORE_DVRCORE_H_
