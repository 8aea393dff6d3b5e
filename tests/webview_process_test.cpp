// The web status plugin in the running demo: what a browser, a Prometheus
// scraper and hostile clients see.  Each test runs its own demo directory
// (scripts/demo --setup-only) with the plugin on a free port.
//
// Artifacts: the browser's screenshots of the status page are left in the
// build directory (webview-status.png, webview-status-phone.png).
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/webview_support.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;
using webview_test::Answer;
using webview_test::Get;

constexpr char kChromium[] = "/usr/bin/chromium";

std::string ReadFile(const fs::path& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// Runs headless Chromium on `url` with `mode` (--dump-dom, --screenshot=...).
std::string Browser(const std::string& url, const std::string& mode, const std::string& size, int* code) {
  const fs::path profile = fs::temp_directory_path() / ("webview-browser-" + std::to_string(getpid()));
  std::vector<std::string> args = {kChromium, "--headless", "--disable-gpu", "--hide-scrollbars",
                                   "--user-data-dir=" + profile.string(), "--window-size=" + size, mode, url};
  if (geteuid() == 0) args.insert(args.begin() + 1, "--no-sandbox");  // Chromium refuses root otherwise
  platform::ChildProcess browser;
  *code = browser.Start(kChromium, args) ? browser.Wait(seconds(90)) : -1;
  std::error_code ignored;
  fs::remove_all(profile, ignored);
  return browser.Stdout() + (*code != 0 ? browser.Stderr() : std::string());
}

TEST(WebviewProcessTest, BrowserShowsModulesAndCamerasAndASegmentSeeks) {
  webview_test::RunningDemo demo;
  std::string why;
  ASSERT_TRUE(demo.Ready(&why)) << why;
  const int port = demo.port();

  // A segment answers a range request with exactly those bytes.
  const std::string segment0 = demo.Segment("cam0"), segment1 = demo.Segment("cam1");
  const std::string file = (demo.directory() / "recordings" / segment0).string();
  const Answer partial = Get(port, "/recordings/" + segment0, "Range: bytes=1000-1999\r\n");
  ASSERT_EQ(partial.status, 206) << partial.head;
  EXPECT_TRUE(partial.complete);
  EXPECT_EQ(partial.body, ReadFile(file).substr(1000, 1000));
  EXPECT_EQ(partial.Header("Content-Range").rfind("bytes 1000-1999/", 0), 0u) << partial.head;
  EXPECT_EQ(partial.Header("Accept-Ranges"), "bytes");
  EXPECT_EQ(partial.Header("Content-Type"), "video/mp4");
  EXPECT_EQ(Get(port, "/recordings/" + segment0, "Range: bytes=999999999999-\r\n").status, 416);
  const Answer head = webview_test::Exchange(
      port, "HEAD /recordings/" + segment1 + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(head.status, 200);
  EXPECT_TRUE(head.body.empty());
  EXPECT_EQ(std::stoull(head.Header("Content-Length")),
            fs::file_size(demo.directory() / "recordings" / segment1));

  if (access(kChromium, X_OK) != 0) {
    EXPECT_EQ(demo.Stop(), 0);
    GTEST_SKIP() << "chromium is not installed (scripts/install-deps installs it for make test): "
                    "browser part skipped";
  }
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  int code = 0;
  const std::string dom = Browser(url, "--dump-dom", "1280,1400", &code);
  ASSERT_EQ(code, 0) << dom;
  for (const std::string& shown : std::vector<std::string>{"ipcam.dll", "recorder.dll", "webview.dll", "ZovUR.dll", "statusview.dll",
                                  "exporter.dll", "cam0", "cam1", "connected", "/recordings/" + segment0, "<video"})
    EXPECT_NE(dom.find(shown), std::string::npos) << shown << " not on the page:\n" << dom;
  for (const auto& [name, size] : {std::pair{"webview-status.png", "1100,1250"},
                                   std::pair{"webview-status-phone.png", "412,915"}}) {
    const fs::path shot = fs::path(BUILD_DIRECTORY) / name;
    fs::remove(shot);
    const std::string out = Browser(url, "--screenshot=" + shot.string(), size, &code);
    EXPECT_EQ(code, 0) << out;
    EXPECT_GT(fs::exists(shot) ? fs::file_size(shot) : 0, 10000u) << out;
  }
  EXPECT_EQ(demo.Stop(), 0) << demo.Output();
}

TEST(WebviewProcessTest, MetricsParseWithHelpAndTypeAndCountersOnlyGrow) {
  webview_test::RunningDemo demo;
  std::string why;
  ASSERT_TRUE(demo.Ready(&why)) << why;
  platform::ChildProcess check;
  const std::string url = "http://127.0.0.1:" + std::to_string(demo.port()) + "/metrics";
  ASSERT_TRUE(check.Start("/usr/bin/python3", {"python3", METRICS_CHECK, url}));
  const int code = check.Wait(seconds(90));
  if (code == 77) GTEST_SKIP() << check.Stdout();
  EXPECT_EQ(code, 0) << check.Stdout() << check.Stderr();
  std::cout << check.Stdout();
  EXPECT_EQ(demo.Stop(), 0) << demo.Output();
}

}  // namespace
