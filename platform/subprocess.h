// ChildProcess: starts a program with captured standard output and error,
// sends it signals and waits for it.  Used by the process-level tests and
// the supervisor simulator.
//
// [any-thread] after Start; one reader thread per child collects output.
#ifndef PLATFORM_SUBPROCESS_H_
#define PLATFORM_SUBPROCESS_H_

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();  // kills a child that still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `path` with `args` (argument 0 included) in `directory` (empty:
  // the current one).  The descriptors in `inherit` stay open in the child;
  // all others above 2 are closed.  False when the program cannot start.
  bool Start(const std::string& path, const std::vector<std::string>& args,
             const std::string& directory = std::string(), const std::vector<int>& inherit = {});

  void Signal(int signal);
  // The exit code (128 + signal when killed by one), or -1 after `timeout`.
  int Wait(std::chrono::milliseconds timeout);
  // Waits until standard output or error contains `needle`.
  bool WaitForOutput(const std::string& needle, std::chrono::milliseconds timeout);

  std::string Stdout() const;
  std::string Stderr() const;
  int pid() const { return pid_; }

 private:
  void Collect(int outFd, int errFd);

  int pid_ = -1;
  int exitCode_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string out_;  // guarded by mutex_
  std::string err_;  // guarded by mutex_
};

}  // namespace platform

#endif  // PLATFORM_SUBPROCESS_H_
