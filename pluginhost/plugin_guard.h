// PluginGuard: what the core keeps about one plugin for the calls it makes
// into it from any thread.
//
//  - The call boundary.  A plugin is foreign code: a C++ exception that
//    leaves one of its entry points must not unwind through the core (where
//    it would end the process) and cannot be matched by type across
//    libraries.  Every call of a plugin's function pointer goes through
//    Guarded, which catches everything, logs it once per entry point at
//    level 75 and turns it into CORE_RC_PLUGIN_EXCEPTION.
//  - The plugin's request threads.  Each read request a plugin answers runs
//    on a short-lived thread of its own.  The guard counts them, so that the
//    unload knows whether any of the plugin's code may still run; once the
//    unload has begun, no new one starts.
//
// Shared by the plugin's record and every thread that calls the plugin, so
// it outlives the record if it must.  [any-thread]
#ifndef PLUGINHOST_PLUGIN_GUARD_H_
#define PLUGINHOST_PLUGIN_GUARD_H_

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>

#include <cxxabi.h>

#include "recording-core/plugin_abi.h"

namespace pluginhost {

// The entry points, in the order of the record; also the names the
// boundary's and the watchdog's lines give.
enum class Entry : uint8_t { kLoad, kUnload, kOpen, kClose, kRead, kWrite, kSeek, kIoctl };
const char* EntryName(Entry entry);

class PluginGuard {
 public:
  PluginGuard() = default;
  // `writer` carries the guard's log lines (null: none are written).
  PluginGuard(std::string fileName, CoreWriteFn writer)
      : fileName_(std::move(fileName)), writer_(writer) {}
  PluginGuard(const PluginGuard&) = delete;
  PluginGuard& operator=(const PluginGuard&) = delete;

  const std::string& FileName() const { return fileName_; }
  CoreWriteFn Writer() const { return writer_; }

  // Logs, the first time for `entry` only, that an exception left it:
  // "plugin %s threw an exception in %s: %s" with the text of a
  // std::exception, or without ": %s" for anything else.
  void ReportException(Entry entry, const char* what);

  // Counts a request thread about to start; false once the unload has
  // begun (the thread must not start then).
  bool EnterRequest();
  // The thread's call has returned.
  void LeaveRequest();
  // The unload begins: no request thread starts any more.  Returns how many
  // are still running.
  int CloseForRequests();

 private:
  const std::string fileName_;
  const CoreWriteFn writer_ = nullptr;
  std::atomic<uint32_t> reported_{0};  // bit per Entry whose exception was logged

  std::mutex mutex_;
  int requestThreads_ = 0;  // guarded by mutex_
  bool closed_ = false;     // guarded by mutex_
};

// Calls `call` (a callable that calls the plugin and returns its result)
// at the boundary: whatever it throws is reported through `guard` and the
// result is CORE_RC_PLUGIN_EXCEPTION.  The unwinding of a cancelled thread
// passes through, as it must.  Deliberately not noexcept.
template <typename Call>
int32_t Guarded(PluginGuard& guard, Entry entry, Call&& call) {
  try {
    return call();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::exception& error) {
    guard.ReportException(entry, error.what());
  } catch (...) {
    guard.ReportException(entry, nullptr);
  }
  return CORE_RC_PLUGIN_EXCEPTION;
}

}  // namespace pluginhost

#endif  // PLUGINHOST_PLUGIN_GUARD_H_
