// Configuration bring-up: the first start step of the core.  It settles the
// working directory and judges the two configuration documents, core.xml
// and useraccounts.xml, in the directory the core was started from.  It
// changes no file.  One unusable document is logged and the core starts;
// both unusable end the process: the problem goes to the logging plugin
// alone, the core pauses (a stop request ends the pause) and exits.
//
// core.xml.pending and core.xml.bak, the leftovers of an interrupted atomic
// save, are only reported here; loading falls back to the backup later.
//
// [main]: runs once, before any plugin is loaded and before the I/O thread
// runs; the pause polls the I/O service itself so that a SIGINT can end it.
#ifndef CONFIGSTORE_CONFIG_BRINGUP_H_
#define CONFIGSTORE_CONFIG_BRINGUP_H_

#include <chrono>
#include <functional>
#include <string>

#include "platform/file_ops.h"
#include "recording-core/plugin_abi.h"

namespace configstore {

inline constexpr char kCoreConfigFile[] = "core.xml";

// What bring-up needs from the core; tests supply their own.
class BringUpHost {
 public:
  virtual ~BringUpHost() = default;
  // Log writer (the core's write callback).
  virtual CoreWriteFn Writer() = 0;
  // The core's stop flag.
  virtual bool StopRequested() = 0;
  // Runs at most one ready handler of the I/O service without blocking (the
  // SIGINT handler sets the stop flag there).  May throw on an I/O error.
  virtual void PollIo() = 0;
  // Loads the logging plugin by itself, hands it the text at level 100 and
  // unloads it again.  Its result is not looked at.
  virtual bool DeliverLogOnce(const std::string& coreDirectory, const std::string& text) = 0;
  // Ends the process.  RunConfigBringUp returns false if it returns.
  virtual void ExitProcess(int code) = 0;
};

// How the bring-up reaches files and how long it pauses.
struct BringUpOptions {
  // The file seam; the POSIX one when null.
  platform::FileOps* files = nullptr;
  // Length of the pause before the process ends, and the step in which it
  // polls the I/O service and looks at the stop flag.
  std::chrono::milliseconds pause{10000};
  std::chrono::milliseconds pollStep{100};
};

// Exit codes of the configuration stop.
inline constexpr int kExitStopped = 0;
inline constexpr int kExitConfigFailed = 2;

// Runs bring-up for the core whose executable lies in `coreDirectory` (the
// directory of the executable path as resolved through /proc/self/exe, so
// a start through a symbolic link still compares against the real one).
// The working directory moves there unless the start directory is that
// directory or is itself named "core".
// Returns true when the core may start.  Otherwise the process is ended
// through host.ExitProcess (code 2, or 0 when a stop arrived during the
// pause) and, if that returns, false.
bool RunConfigBringUp(const std::string& coreDirectory, BringUpHost& host,
                      const BringUpOptions& options = {});

// Judges core.xml in `startDirectory` and logs what it finds on the way
// (leftover pending and backup files at level 50, a first run at level 25).
// Returns an empty text when core.xml is usable or missing (the first run),
// otherwise the text to log: the lines "core.xml.pending exists" and
// "core.xml.bak exists" when they apply, then one of
//   "Config core.xml: <system message>" / "Config core.xml: zero bytes"
//   "Config core.xml: <errno> - <strerror>"          not opened in 3 attempts
//   "Config core.xml (read): <errno> - <strerror>"
//   "Config core.xml (parse): <error id> - <error description>"
//   "Failed to validate core.xml"     no root/Memory/Throttling integer
std::string CheckCoreConfiguration(const std::string& startDirectory, CoreWriteFn write,
                                   platform::FileOps& files = platform::DefaultFileOps());

}  // namespace configstore

#endif  // CONFIGSTORE_CONFIG_BRINGUP_H_
