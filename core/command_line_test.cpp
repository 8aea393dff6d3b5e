#include "core/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace core {
namespace {

// "USAGE PIPE" for the arguments after the program name.
std::string Parse(std::vector<const char*> argv) {
  argv.insert(argv.begin(), "core");
  const CommandLine line = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
  return std::to_string(line.usage) + " " + std::to_string(line.pipeHandle);
}

TEST(CommandLineTest, UsageAndPipeSelection) {
  EXPECT_EQ(Parse({"-h"}), "1 -1");
  EXPECT_EQ(Parse({"-help"}), "1 -1");  // only the second character counts
  EXPECT_EQ(Parse({"--h"}), "0 -1");
  EXPECT_EQ(Parse({"5", "-h"}), "0 5");  // the scan stops at the pipe
  EXPECT_EQ(Parse({"-x", "--", "7"}), "0 7");
  EXPECT_EQ(Parse({}), "0 -1");
  EXPECT_EQ(Parse({"abc"}), "0 0");  // refused later as a pipe
  EXPECT_EQ(Parse({"9", "12"}), "0 9");
}

}  // namespace
}  // namespace core
