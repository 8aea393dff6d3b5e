// RtspTestSource: the test RTSP camera tools/rtsp_source on a free loopback
// port, for the tests that record real streams.  The clip is the one
// scripts/make-clip makes into the build's testdata directory (made here if
// missing).  [test thread]
#ifndef TESTS_RTSP_TEST_SOURCE_H_
#define TESTS_RTSP_TEST_SOURCE_H_

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <string>

#include "examples/plugins/media_test_support.h"
#include "platform/subprocess.h"

namespace testing_rtsp {

inline std::string Clip() { return media_test::Clip(BUILD_DIRECTORY "/testdata"); }

class RtspTestSource {
 public:
  // Starts the source on `port` (0: any free one) and waits until it
  // listens; false (with a test failure) when it does not.
  bool Start(int port = 0) {
    const std::string clip = Clip();
    child_ = std::make_unique<platform::ChildProcess>();
    if (!child_->Start(RTSP_SOURCE, {RTSP_SOURCE, std::to_string(port), clip}) ||
        !child_->WaitForOutput("rtsp_source: serving rtsp://127.0.0.1:", std::chrono::seconds(30))) {
      ADD_FAILURE() << "rtsp_source did not start: " << child_->Stdout() << child_->Stderr();
      return false;
    }
    const std::string out = child_->Stdout();
    const size_t at = out.find("127.0.0.1:") + 10;
    port_ = std::stoi(out.substr(at, out.find('/', at) - at));
    return true;
  }
  // The URL of camera `index` (each path /camN is its own stream).
  std::string Url(int index) const {
    return "rtsp://127.0.0.1:" + std::to_string(port_) + "/cam" + std::to_string(index);
  }
  int port() const { return port_; }
  // Ends the source at once, as a camera that loses power.
  void Kill() {
    if (!child_) return;
    child_->Signal(SIGKILL);
    child_->Wait(std::chrono::seconds(30));
    child_.reset();
  }
  ~RtspTestSource() {
    if (child_) {
      child_->Signal(SIGTERM);
      child_->Wait(std::chrono::seconds(30));
    }
  }

 private:
  std::unique_ptr<platform::ChildProcess> child_;
  int port_ = 0;
};

}  // namespace testing_rtsp

#endif  // TESTS_RTSP_TEST_SOURCE_H_
