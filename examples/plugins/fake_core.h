// fake_core.h - the core's side of the plugin contract, for tests of the
// example plugins.  It loads one plugin library, calls its entry points with
// blocks preset as the core presets them (and IOCTL code 1 on a run thread
// right after Load when the plugin asks for one), and records what the
// plugin writes.  Threshold queries let every level pass; block releases and
// to-supervisor packets are freed (tests malloc their blocks, as the core
// does); an answer to a request (requestID set, providerID not 0) is refused
// with 1 unless it comes from the thread inside Read; other writes get
// `decide`'s code.  One FakeCore at a time: the callback has no user pointer.
// [test thread], except the write callback [any-thread].
#ifndef EXAMPLES_PLUGINS_FAKE_CORE_H_
#define EXAMPLES_PLUGINS_FAKE_CORE_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "recording-core/plugin_abi.h"

namespace example_test {

// A fresh working directory for one test, removed afterwards.
class ScopedWorkDir {
 public:
  ScopedWorkDir();
  ~ScopedWorkDir();

 private:
  std::string previous_, path_;
};
void WriteTextFile(const std::string& path, const std::string& text);
std::string ReadTextFile(const std::string& path);

// One event as the plugin wrote it, with its payload and result code.
struct Written {
  CoreEvent event;
  std::string payload;
  int32_t code;
};

class FakeCore {
 public:
  explicit FakeCore(const std::string& library);  // fails the test if it cannot be opened
  ~FakeCore() { Stop(); }

  LoadReply Load();  // expects 0
  int32_t Open(uint32_t mode = OPEN_MODE_NORMAL);
  WriteReply Write(const CoreEvent& event);  // expects 0
  int32_t Read(const std::string& request, uint32_t requestID);  // as a request thread
  int32_t Ioctl(uint32_t code, const std::string& data);
  // Close, join the run thread, Unload and close the library; once.
  void Stop();

  // Waits up to 30 s until `done` holds for the events written so far.
  bool WaitUntil(const std::function<bool(const std::vector<Written>&)>& done);
  std::vector<Written> events() const;
  std::vector<std::string> console() const;  // texts given to the context's logLine

  std::function<int32_t(const CoreEvent&)> decide;  // called under the lock

 private:
  template <typename Request, typename Reply>
  int32_t Call(const char* name, const Request& request, Reply* reply);
  static int32_t WriteCallback(const CoreEvent* event, WriteResult* result);
  static void LogLine(CoreContext* self, ModuleId module, int32_t level, const char* text);

  static FakeCore* current_;
  void* library_ = nullptr;
  CoreContextTable table_{};
  CoreContext context_{&table_};
  std::thread run_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Written> events_;       // guarded by mutex_
  std::vector<std::string> console_;  // guarded by mutex_
  std::thread::id reader_;            // guarded by mutex_: inside Read
};

}  // namespace example_test

#endif  // EXAMPLES_PLUGINS_FAKE_CORE_H_
