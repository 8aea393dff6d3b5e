// The demo as a test: the directory `make demo` runs (set up by the same
// script), with its two cameras on a test RTSP source of the test's own, run
// under a supervisor socket until its export is done and stopped with a stop
// packet.  While it runs, its status page is looked at as a browser and a
// Prometheus scraper see it; afterwards the recordings, the log file, the
// export and the console are checked the way an operator would: the MP4
// files with ffprobe and ffmpeg.
//
// Artifacts: the browser's screenshots of the status page are left in the
// build directory (webview-status.png, webview-status-phone.png).
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>

#include "tests/core_directory.h"
#include "tests/webview_support.h"

namespace {

namespace fs = std::filesystem;
using testing_core::ReadText;
using std::chrono::seconds;
using webview_test::Answer;
using webview_test::Get;

constexpr char kChromium[] = "/usr/bin/chromium";

// Checks a segment or an export as a player sees it: a key frame first,
// decoding without an error; returns its number of frames.
size_t CheckPlayable(const fs::path& file) {
  const std::vector<media_test::Packet> packets = media_test::Packets(file.string());
  EXPECT_TRUE(!packets.empty() && packets[0].key) << file << ": no key frame first";
  EXPECT_EQ(media_test::DecodeErrors(file.string()), "") << file;
  return packets.size();
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

// The page in a browser: every module and camera shown, a segment to play,
// and screenshots at desktop and phone sizes.
void CheckInABrowser(int port, const std::string& segment) {
  if (access(kChromium, X_OK) != 0) {
    std::cout << "chromium is not installed (scripts/install-deps installs it for make test): "
                 "browser part skipped\n";
    return;
  }
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  int code = 0;
  const std::string dom = Browser(url, "--dump-dom", "1280,1400", &code);
  ASSERT_EQ(code, 0) << dom;
  for (const char* shown : {"ipcam.dll", "recorder.dll", "webview.dll", "ZovUR.dll", "statusview.dll",
                                   "exporter.dll", "cam0", "cam1", "connected", "<video"})
    EXPECT_NE(dom.find(shown), std::string::npos) << shown << " not on the page:\n" << dom;
  EXPECT_NE(dom.find("/recordings/" + segment), std::string::npos) << dom;
  for (const auto& [name, size] : {std::pair{"webview-status.png", "1100,1250"},
                                   std::pair{"webview-status-phone.png", "412,915"}}) {
    const fs::path shot = fs::path(BUILD_DIRECTORY) / name;
    fs::remove(shot);
    const std::string out = Browser(url, "--screenshot=" + shot.string(), size, &code);
    EXPECT_EQ(code, 0) << out;
    EXPECT_GT(fs::exists(shot) ? fs::file_size(shot) : 0, 10000u) << out;
  }
}

TEST(DemoTest, RecordsServesItsPageExportsAndStopsOnAStopPacket) {
  webview_test::RunningDemo demo;
  std::string why;
  ASSERT_TRUE(demo.Ready(&why)) << why;
  const int port = demo.port();
  const fs::path directory = demo.directory();
  EXPECT_FALSE(fs::exists(directory / "plugins" / "camsim.dll")) << "the simulator is for tests only";

  // A segment answers a range request with exactly those bytes.
  const std::string segment0 = demo.Segment("cam0"), segment1 = demo.Segment("cam1");
  const Answer partial = Get(port, "/recordings/" + segment0, "Range: bytes=1000-1999\r\n");
  ASSERT_EQ(partial.status, 206) << partial.head;
  EXPECT_TRUE(partial.complete);
  EXPECT_EQ(partial.body, ReadText(directory / "recordings" / segment0).substr(1000, 1000));
  EXPECT_EQ(partial.Header("Content-Range").rfind("bytes 1000-1999/", 0), 0u) << partial.head;
  EXPECT_EQ(partial.Header("Accept-Ranges"), "bytes");
  EXPECT_EQ(partial.Header("Content-Type"), "video/mp4");
  EXPECT_EQ(Get(port, "/recordings/" + segment0, "Range: bytes=999999999999-\r\n").status, 416);
  const Answer head = webview_test::Exchange(
      port, "HEAD /recordings/" + segment1 + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(head.status, 200);
  EXPECT_TRUE(head.body.empty());
  EXPECT_EQ(std::stoull(head.Header("Content-Length")), fs::file_size(directory / "recordings" / segment1));

  CheckInABrowser(port, segment0);

  // The metrics parse with HELP and TYPE, and counters only grow.
  platform::ChildProcess check;
  const std::string metrics = "http://127.0.0.1:" + std::to_string(port) + "/metrics";
  ASSERT_TRUE(check.Start("/usr/bin/python3", {"python3", METRICS_CHECK, metrics}));
  const int code = check.Wait(seconds(90));
  EXPECT_TRUE(code == 0 || code == 77) << check.Stdout() << check.Stderr();  // 77: no parser, not run
  std::cout << check.Stdout();

  EXPECT_TRUE(demo.WaitForOutput("export of camera cam0 done", seconds(60))) << demo.Output();
  ASSERT_EQ(demo.Stop(), 0) << demo.Output();
  const std::string out = demo.Output();
  // The threshold took effect, and no block was held past the stop.
  EXPECT_NE(out.find("Core: Loaded plugin: recorder.dll"), std::string::npos) << out;
  EXPECT_NE(out.find("stopping core version"), std::string::npos) << out;
  EXPECT_EQ(out.find("leaked by plugins"), std::string::npos) << out;

  // Every plugin of the demo opened cleanly.
  const std::string status = ReadText(directory / "plugins.xml");
  EXPECT_NE(status.find("Filename=\"statusview.dll\""), std::string::npos) << status;
  EXPECT_EQ(status.find("OpenCode=\"-"), std::string::npos) << status;
  // The log file has the start line; the stop line reaches only the console.
  EXPECT_NE(ReadText(directory / "logs" / "core.log").find("successfully started core version"),
            std::string::npos);

  // Both cameras recorded playable segments, closed in their index; all but
  // the one the stop closed hold their two seconds.
  for (const char* camera : {"cam0", "cam1"}) {
    const fs::path folder = directory / "recordings" / camera;
    const std::vector<media_test::Segment> indexed = media_test::IndexedSegments((folder / "index").string());
    ASSERT_FALSE(indexed.empty()) << camera;
    size_t segments = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
      if (entry.path().extension() != ".mp4") continue;
      ++segments;
      const std::string name = entry.path().filename().string();
      const auto listed = std::find_if(indexed.begin(), indexed.end(),
                                       [&](const media_test::Segment& s) { return s.file == name; });
      EXPECT_TRUE(listed != indexed.end() && listed->end != 0) << entry.path();
      const size_t frames = CheckPlayable(entry.path());
      if (name != indexed.back().file) {
        EXPECT_GT(frames, 25u) << entry.path();
      }
    }
    EXPECT_GE(segments, 2u) << camera;
  }

  // The exporter's file, made from the recorder's answers, plays from its
  // first frame and holds about the two seconds asked for.
  EXPECT_NE(out.find("export of camera cam0 done: exports/cam0-"), std::string::npos) << out;
  size_t exports = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory / "exports")) {
    ++exports;
    EXPECT_GE(CheckPlayable(entry.path()), 50u) << entry.path();
  }
  EXPECT_EQ(exports, 1u);
}

}  // namespace
