// dvrcore: the one core object of the process.  It wires the subsystems
// together and runs the fixed start sequence, the dispatcher and the fixed
// stop sequence.  Each subsystem object is a member, declared in the order
// it must be destroyed in reverse:
//
//   settings_  product, throttling switch, log thresholds, core.xml
//   host_      plugin list, module names, load problems
//   io_        the I/O service (pipe, monitor ticks, signals, config deltas)
//   pipe_      the supervisor link (and the background flag)
//   bus_       the event bus: queue, dispatcher, blocks, requests
//   monitor_   the memory and clock monitor
//
// The bus's destructor frees what is still queued and its leak report goes
// to the console through the module names and the background flag, so the
// host and the pipe are declared before it.
//
// Plugins get the context table (destroy, now, publish memory state, console
// sink) at LoadRequest.context; the process-wide pointer that the C write
// callback uses is set by the constructor and never cleared.
//
// Threads: constructed, initialised, run and destroyed on the main thread;
// the I/O thread runs io_; any thread may enter WriteToCore.
#ifndef CORE_DVRCORE_H_
#define CORE_DVRCORE_H_

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "configstore/config_bringup.h"
#include "configstore/core_settings.h"
#include "core/monitor.h"
#include "eventbus/event_bus.h"
#include "platform/system_info.h"
#include "pluginhost/plugin_host.h"
#include "recording-core/plugin_abi.h"
#include "supervisor/supervisor_pipe.h"

namespace core {

extern const char kBuildVersion[];  // "20.12.8.0"

class dvrcore;

// What plugins receive as their context: the table, followed by the core
// object it belongs to.  Standard layout, so the table's address is the
// holder's and the table slots find the core object without a cast of an
// unrelated type.
struct CoreContextHolder {
  CoreContext context;
  dvrcore* core;
};

class dvrcore final : private configstore::BringUpHost,
                      private eventbus::BusHost,
                      private supervisor::PipeHost,
                      private MonitorHost {
 public:
  explicit dvrcore(std::string executablePath);
  ~dvrcore() override;
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
  void RequestStop() override;

  // The write callback handed to plugins and used by the core's own logging.
  // Nothing unwinds out of it into a plugin's frames (a C plugin has no
  // unwind tables): a failed allocation is the code -1, and any other
  // failure of the core's machinery ends the process.
  static int32_t WriteToCore(const CoreEvent* event, WriteResult* result) noexcept;

  // [any-thread] Console sink: one log line, unless the core runs in the
  // background.
  void ConsoleSink(ModuleId module, int32_t level, const char* text) override;

  // [any-thread] Builds and publishes the memory state document.
  void PublishMemoryState() override;

  CoreContext* Context() { return &context_.context; }
  const std::string& ExecutablePath() const { return executablePath_; }
  std::string CoreDirectory() const;

 private:
  // configstore::BringUpHost
  bool StopRequested() override { return bus_.Stopping(); }
  void PollIo() override { io_.poll_one(); }
  bool DeliverLogOnce(const std::string& directory, const std::string& text) override {
    return host_.DeliverLogOnce(directory, text);
  }
  void ExitProcess(int code) override { std::exit(code); }
  // eventbus::BusHost
  int32_t SubmitToSupervisor(void* data, int64_t size) override;
  void OnConfigUpdate(const void* block, std::string_view text) override;
  // supervisor::PipeHost, MonitorHost and BringUpHost
  void NotifyUnderQueueMutex(const std::function<void()>& fn) override;
  CoreWriteFn Writer() override { return &dvrcore::WriteToCore; }
  pluginhost::PluginList& Plugins() override { return host_.Plugins(); }
  // MonitorHost
  void SetThrottling(bool on) override { bus_.SetThrottling(on); }
  bool ThrottlingSwitch() override { return settings_.Product().throttlingSwitch; }
  void MemoryLimitSet(uint64_t limit) override { bus_.SetMemoryLimit(limit); }

  void Log(int32_t level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void BringUpConfiguration(const std::string& coreDirectory);
  void WaitForSupervisor();
  void WriteStatusDocument();
  void ApplyConfigUpdate(const std::string& text);
  void StartIoThread();
  void StopIoThread();

  CoreContextHolder context_;
  std::string executablePath_;
  bool colour_ = true;

  configstore::CoreSettings settings_;
  pluginhost::PluginHost host_;

  boost::asio::io_context io_;
  boost::asio::steady_timer monitorTimer_;
  supervisor::SupervisorPipe pipe_;
  eventbus::EventBus bus_;

  // Held by a delta's application and status rewrite on the I/O thread, and
  // taken once by the stop sequence before the close pass, so that no
  // rewrite reads the plugin list while the close pass reorders it.
  std::mutex configMutex_;

  platform::LinuxSystemInfo systemInfo_;
  MemoryMonitor monitor_;

  std::unique_ptr<boost::asio::signal_set> signals_;
  std::thread ioThread_;
};

}  // namespace core

#endif  // CORE_DVRCORE_H_
