// fake_core.h - the core's side of the plugin contract, for tests of the
// example plugins.  It loads one plugin library, calls its entry points with
// blocks preset as the core presets them, and answers the write callback as
// the core does for what the examples write: threshold queries get
// `threshold`; block releases and to-supervisor packets are freed (tests
// malloc their blocks, as the core does); a request-bound event is refused
// with 1 unless it comes from a thread inside Read (and after
// `refuseAnswersAfter` accepted ones), and an answer with a payload waits
// until the previous one was delivered; other events get `decide`'s code.
// One FakeCore at a time: the write callback has no user pointer.
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
  std::thread::id thread;
  int32_t code;
};

class FakeCore {
 public:
  explicit FakeCore(const std::string& library);  // fails the test if it cannot be opened
  ~FakeCore();

  void* Symbol(const char* name) const;
  int32_t Load(LoadReply* reply);
  int32_t Open(uint32_t mode = OPEN_MODE_NORMAL);
  int32_t Write(const CoreEvent& event, WriteReply* reply);
  int32_t Read(const std::string& request, uint32_t requestID);  // as a request thread
  int32_t Ioctl(uint32_t code, const void* data, uint32_t length, IoctlReply* reply);
  int32_t Close();
  int32_t Unload();
  // Starts a thread calling IOCTL code 1; JoinRun waits for it to return.
  void StartRun();
  void JoinRun() { run_.join(); }

  // Waits up to 30 s until `done` holds for the events written so far.
  bool WaitUntil(const std::function<bool(const std::vector<Written>&)>& done);
  std::vector<Written> events() const;
  std::vector<std::string> console() const;  // texts given to the context's logLine

  int32_t threshold = -1;
  std::function<int32_t(const CoreEvent&)> decide;
  size_t refuseAnswersAfter = SIZE_MAX;

 private:
  template <typename Request, typename Reply>
  int32_t Call(const char* name, const Request& request, Reply* reply) {
    auto entry = reinterpret_cast<int32_t (*)(const Request*, Reply*)>(Symbol(name));
    return entry == nullptr ? CORE_RC_NOT_EXPORTED : entry(&request, reply);
  }
  static int32_t WriteCallback(const CoreEvent* event, WriteResult* result);
  static void LogLine(CoreContext* self, ModuleId module, int32_t level, const char* text);

  static FakeCore* current_;
  void* library_ = nullptr;
  CoreContextTable table_{};
  CoreContext context_{&table_};
  std::thread run_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Written> events_;             // guarded by mutex_
  std::vector<std::string> console_;        // guarded by mutex_
  std::thread::id reader_;                  // guarded by mutex_: inside Read
  size_t answers_ = 0;                      // guarded by mutex_
  bool inFlight_ = false;                   // guarded by mutex_
};

}  // namespace example_test

#endif  // EXAMPLES_PLUGINS_FAKE_CORE_H_
