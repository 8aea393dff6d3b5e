// Tests of the logging plugin ZovUR.dll: line format, the one-shot
// delivery's text without a NUL, rotation, and a log file that cannot be
// opened.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>

#include "fake_core.h"
#include "plugin_support.h"

namespace example_test {
namespace {

CoreEvent LogEvent(ModuleId module, int32_t level, const char* text, int32_t size = -1) {
  CoreEvent event = example::MakeEvent(module, EVENT_LOG, 0x01000002u, text,
                                       size >= 0 ? size : static_cast<int32_t>(std::strlen(text) + 1));
  event.attributes.logLevel = level;
  return event;
}

// The lines of a log file without their 24-character time stamps.
std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(ReadTextFile(path));
  for (std::string line; std::getline(in, line);) lines.push_back(line.size() > 24 ? line.substr(24) : line);
  return lines;
}

// Runs the plugin from Load to Unload over `events`; returns the console lines.
std::vector<std::string> Feed(const std::vector<CoreEvent>& events, uint32_t mode = OPEN_MODE_NORMAL) {
  FakeCore core(EXAMPLE_PLUGIN_DIR "/ZovUR.dll");
  core.Load();
  EXPECT_EQ(core.Open(mode), 0);
  for (const CoreEvent& event : events) core.Write(event);
  core.Stop();
  return core.console();
}

TEST(ZovurTest, WritesLinesAndBoundsTheOneShotTextByDataSize) {
  ScopedWorkDir dir;
  CoreEvent frame = LogEvent(0x00020001u, 0, "a video frame");
  frame.eventType = EVENT_VIDEO;
  Feed({LogEvent(CORE_MODULE_ID, 25, "started 1.2"), LogEvent(0x00030000u, 50, "one\ntwo\n"), frame});
  // The one-shot delivery: subtype 2, and dataSize stops short of non-NUL bytes.
  CoreEvent delivery = LogEvent(CORE_MODULE_ID, 100, "core.xml: no Vexo element", 17);
  delivery.eventSubtype = SUBTYPE_LOG_MESSAGE;
  Feed({delivery}, OPEN_MODE_LOG_DELIVERY);
  const std::vector<std::string> expected = {"80000000  25 started 1.2", "00030000  50 one", "    two",
                                             "80000000 100 core.xml: no Vexo"};
  EXPECT_EQ(Lines("logs/core.log"), expected);
}

TEST(ZovurTest, RotatesBySizeKeepingTheNewestLines) {
  ScopedWorkDir dir;
  WriteTextFile("zovur.conf", "# small files\nmax_bytes = 1024\nkeep = 2\n");
  std::vector<std::string> texts;
  std::vector<CoreEvent> events;
  for (int i = 0; i < 100; ++i) texts.push_back("00020000  25 message " + std::to_string(1000 + i));
  for (const std::string& text : texts) events.push_back(LogEvent(0x00020000u, 25, text.c_str() + 13));
  Feed(events);
  EXPECT_FALSE(std::filesystem::exists("logs/core.log.3"));
  std::vector<std::string> kept;  // oldest file first
  for (const char* name : {"logs/core.log.2", "logs/core.log.1", "logs/core.log"}) {
    EXPECT_LE(std::filesystem::file_size(name), 1024u) << name;
    for (const std::string& line : Lines(name)) kept.push_back(line);
  }
  ASSERT_GT(kept.size(), 20u);
  EXPECT_TRUE(std::equal(kept.begin(), kept.end(), texts.end() - static_cast<long>(kept.size())));
}

TEST(ZovurTest, ReportsALogFileThatCannotBeOpenedOnceOnTheConsole) {
  ScopedWorkDir dir;
  WriteTextFile("blocked", "a file where the log directory should be");
  WriteTextFile("zovur.conf", "directory = blocked\n");
  const auto console = Feed({LogEvent(CORE_MODULE_ID, 25, "lost"), LogEvent(CORE_MODULE_ID, 25, "too")});
  ASSERT_EQ(console.size(), 1u);
  EXPECT_NE(console[0].find("cannot open log file blocked/core.log"), std::string::npos);
}

}  // namespace
}  // namespace example_test
