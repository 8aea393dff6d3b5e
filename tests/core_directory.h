// What the process-level tests share: the core's start and stop lines, file
// reading, a polling wait, supervisor packets, and CoreDirectory, a temporary
// core directory holding a copy of the real core executable, its documents
// and copies of test plugins that all append their calls to one trace file,
// with the core running there as a child process.
// [test thread]
#ifndef TESTS_CORE_DIRECTORY_H_
#define TESTS_CORE_DIRECTORY_H_

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/subprocess.h"
#include "recording-core/plugin_abi.h"

namespace testing_core {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kStartLine[] = "successfully started core version 20.12.8.0";
constexpr char kStopLine[] = "stopping core version 20.12.8.0...";
constexpr auto npos = std::string::npos;

inline std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline size_t Count(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

// Looks at `condition` every 20 ms until it holds or `limit` has passed.
inline bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 60s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(20ms);
  return condition();
}

// A supervisor packet: the header, then `payload`.
inline std::string Packet(uint32_t target, uint32_t kind, uint32_t extra, const std::string& payload) {
  const PipePacketHeader header{static_cast<uint32_t>(sizeof(PipePacketHeader) + payload.size()), target, kind,
                                extra};
  return std::string(reinterpret_cast<const char*>(&header), sizeof header) + payload;
}

#ifdef CORE_EXECUTABLE  // in the tests that start the core executable of the build
class CoreDirectory {
 public:
  // With `documents`, a core.xml with throttling on and an empty
  // useraccounts.xml, so that bring-up goes ahead without a pause.
  explicit CoreDirectory(bool documents = true) {
    fs::create_directories(dir / "plugins");
    fs::copy_file(CORE_EXECUTABLE, dir / "core");
    if (!documents) return;
    Write("core.xml", "<Vexo Delta=\"0\"><Memory Throttling=\"1\"/></Vexo>");
    Write("useraccounts.xml", "<UserAccounts/>");
  }
  ~CoreDirectory() {
    child_.reset();  // kills a core that still runs
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  CoreDirectory(const CoreDirectory&) = delete;
  CoreDirectory& operator=(const CoreDirectory&) = delete;

  std::string Path(const std::string& name) const { return (dir / name).string(); }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(dir / name, std::ios::binary | std::ios::trunc) << text;
  }
  // plugins/NAME.dll: a copy of `library` with its settings and the trace.
  void AddPlugin(const std::string& library, const std::string& name, const std::string& settings) const {
    const fs::path path = dir / "plugins" / (name + ".dll");
    fs::copy_file(library, path, fs::copy_options::overwrite_existing);
    Write("plugins/" + name + ".dll.cfg", settings + "\ntrace=" + Path("trace.txt") + "\n");
  }
  std::string Trace() const { return ReadText(dir / "trace.txt"); }
  bool TraceHas(const std::string& needle) const {
    return WaitUntil([&] { return Trace().find(needle) != npos; });
  }

  // Starts ./core with `args`; the descriptors in `inherit` stay open in it.
  // Each start has a child object of its own.
  bool Start(const std::vector<std::string>& args = {}, const std::vector<int>& inherit = {}) {
    std::vector<std::string> argv = {Path("core")};
    argv.insert(argv.end(), args.begin(), args.end());
    child_ = std::make_unique<platform::ChildProcess>();
    return child_->Start(argv[0], argv, dir.string(), inherit);
  }
  // Runs `script` with bash in the core directory.
  bool StartScript(const std::string& script) {
    child_ = std::make_unique<platform::ChildProcess>();
    return child_->Start("/bin/bash", {"/bin/bash", "-c", script}, dir.string());
  }
  platform::ChildProcess& child() { return *child_; }

  const fs::path dir = fs::temp_directory_path() / ("core-test-" + std::to_string(std::random_device()()));

 private:
  std::unique_ptr<platform::ChildProcess> child_;
};
#endif  // CORE_EXECUTABLE

}  // namespace testing_core

#endif  // TESTS_CORE_DIRECTORY_H_
