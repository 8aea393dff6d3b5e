#include "core/console_line.h"

#include <gtest/gtest.h>

namespace core {
namespace {

TEST(ConsoleLineTest, ColumnsUtcAndColours) {
  EXPECT_EQ(FormatConsoleLine(false, 25, 86400 * 20000 - 1, "core", "hello"), "23:59:59 core   hello\n");
  EXPECT_EQ(FormatConsoleLine(false, 25, 3600 + 62, "zovurlog", "x"), "01:01:02 zovurl x\n");
  EXPECT_EQ(FormatConsoleLine(true, 50, 0, "core", "warn"), "\033[33m00:00:00\033[36m core  \033[0m warn\n");
  EXPECT_EQ(FormatConsoleLine(true, 101, 0, "core", "x"), "00:00:00 core   x\n");  // no colour outside 0..100
  const std::string text(2000, 'a');
  EXPECT_EQ(FormatConsoleLine(false, 0, 0, "core", text.c_str()), "00:00:00 core   " + text + "\n");
  std::string colours;
  for (int level : {-1, 0, 24, 25, 74, 75, 100, 101}) colours += std::to_string(LevelColour(level)) + " ";
  EXPECT_EQ(colours, "-1 35 35 32 33 31 31 -1 ");
}

}  // namespace
}  // namespace core
