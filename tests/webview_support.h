// The demo with the web status plugin, run under a supervisor socket for the
// web process tests, and a small HTTP client that never waits past a
// deadline.
#ifndef TESTS_WEBVIEW_SUPPORT_H_
#define TESTS_WEBVIEW_SUPPORT_H_

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/subprocess.h"
#include "tests/rtsp_test_source.h"

namespace webview_test {

// One answer as the client saw it; status 0 when none arrived (the
// connection was refused, reset or closed first, or the deadline passed).
struct Answer {
  int status = 0;
  std::string head, body;
  bool complete = false;  // the body is as long as Content-Length said
  std::string Header(const std::string& name) const;  // "" when missing
};

// Sends `raw` to 127.0.0.1:`port` and reads until the server closes.
Answer Exchange(int port, const std::string& raw,
                std::chrono::milliseconds deadline = std::chrono::seconds(20));
Answer Get(int port, const std::string& target, const std::string& extraHeaders = "");
// Sends `raw` on `count` connections at once and collects every answer.
std::vector<Answer> ExchangeMany(int port, const std::string& raw, size_t count,
                                 std::chrono::milliseconds deadline);

// Sends `raw` one byte per `pace`, as a slow client would.  Returns how many
// bytes went out before the server closed the connection, or -1 when all
// went out and the connection was still open.
int SendSlowly(int port, const std::string& raw, std::chrono::milliseconds pace);

// A demo directory set up by scripts/demo with the web plugin on a free port
// and short deadlines, 2-second segments, an export of two seconds five
// seconds after the start and the core's own threshold at 0; its core
// started and introduced to.
class RunningDemo {
 public:
  // `webviewSettings` is appended to webview.conf (later lines win).
  explicit RunningDemo(const std::string& webviewSettings = "");
  ~RunningDemo();  // stops the core if Stop was not called; keeps the directory on failure

  // True when the core runs, the page is served and both cameras and their
  // recordings are known to the plugin; `why` says what is missing.
  bool Ready(std::string* why);
  // Stop packet; the core's exit code.
  int Stop();

  // The first closed segment of `camera` ("cam0/...mp4"), empty when none.
  std::string Segment(const std::string& camera);

  bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    return core_.WaitForOutput(text, limit);
  }
  int port() const { return port_; }
  int pid() const { return core_.pid(); }
  const std::filesystem::path& directory() const { return directory_; }
  std::string Output() const { return core_.Stdout() + core_.Stderr(); }

 private:
  testing_rtsp::RtspTestSource source_;  // the demo's two cameras
  std::filesystem::path directory_;
  platform::ChildProcess core_;
  int supervisor_ = -1;
  int port_ = 0;
  bool stopped_ = false;
};

// The first closed segment of `camera` in an /api/status answer.
std::string FirstSegment(const std::string& status, const std::string& camera);

// Resident memory of a process in bytes, from /proc; 0 when unknown.
uint64_t ResidentBytes(int pid);
// A sample's value in a Prometheus text exposition; -1 when missing.
double Sample(const std::string& exposition, const std::string& series);

}  // namespace webview_test

#endif  // TESTS_WEBVIEW_SUPPORT_H_
