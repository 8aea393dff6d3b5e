#include "core/console_line.h"

#include <gtest/gtest.h>

namespace core {
namespace {

constexpr int64_t kOneBeforeMidnight = 86400 * 20000 - 1;

TEST(ConsoleLineTest, PlainLineColumnsAndUtc) {
  EXPECT_EQ(FormatConsoleLine(false, 25, kOneBeforeMidnight, "core", "hello"),
            "23:59:59 core   hello\n");
  EXPECT_EQ(FormatConsoleLine(false, 25, 3600 + 62, "zovurlog", "x"), "01:01:02 zovurl x\n");
  EXPECT_EQ(FormatConsoleLine(false, 0, 0, "ab", "t"), "00:00:00 ab     t\n");
}

TEST(ConsoleLineTest, ColourByLevel) {
  EXPECT_EQ(LevelColour(0), 35);
  EXPECT_EQ(LevelColour(24), 35);
  EXPECT_EQ(LevelColour(25), 32);
  EXPECT_EQ(LevelColour(74), 33);
  EXPECT_EQ(LevelColour(75), 31);
  EXPECT_EQ(LevelColour(100), 31);
  EXPECT_EQ(LevelColour(101), -1);
  EXPECT_EQ(LevelColour(-1), -1);

  EXPECT_EQ(FormatConsoleLine(true, 50, 0, "core", "warn"),
            "\033[33m00:00:00\033[36m core  \033[0m warn\n");
  // Levels outside 0..100 carry no escape sequence even on a terminal.
  EXPECT_EQ(FormatConsoleLine(true, 101, 0, "core", "x"), "00:00:00 core   x\n");
}

TEST(ConsoleLineTest, LongTextIsWhole) {
  const std::string text(2000, 'a');
  const std::string line = FormatConsoleLine(false, 0, 0, "core", text.c_str());
  EXPECT_EQ(line.size(), 17 + text.size());  // time, name column, blanks, newline
}

}  // namespace
}  // namespace core
