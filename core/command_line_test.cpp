#include "core/command_line.h"

#include <gtest/gtest.h>

namespace core {
namespace {

CommandLine Parse(std::initializer_list<const char*> args) {
  std::vector<const char*> argv{"core"};
  argv.insert(argv.end(), args.begin(), args.end());
  return ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLineTest, UsageAndPipeSelection) {
  EXPECT_TRUE(Parse({"-h"}).usage);
  EXPECT_TRUE(Parse({"-help"}).usage);  // only the second character counts
  EXPECT_FALSE(Parse({"--h"}).usage);
  EXPECT_FALSE(Parse({"-"}).usage);

  CommandLine pipeFirst = Parse({"5", "-h"});  // the scan stops at the pipe
  EXPECT_FALSE(pipeFirst.usage);
  EXPECT_EQ(pipeFirst.pipeHandle, 5);

  EXPECT_EQ(Parse({"-x", "--", "7"}).pipeHandle, 7);
  EXPECT_EQ(Parse({}).pipeHandle, -1);
  EXPECT_EQ(Parse({"abc"}).pipeHandle, 0);  // atoi: later refused as a pipe
  EXPECT_EQ(Parse({"-2147483648"}).pipeHandle, -1);  // a dash argument is skipped
  EXPECT_EQ(Parse({"9", "12"}).pipeHandle, 9);
}

}  // namespace
}  // namespace core
