// The texts of the core.xml check.  The outcomes of bring-up (first run, one
// document unusable, the configuration stop, the start directory) are
// checked on the real core in bringup_process_test, and the leftovers of
// interrupted saves in crash_safety_test.
#include "configstore/config_bringup.h"

#include <gtest/gtest.h>

#include "configstore/configstore_test_support.h"
#include "platform/special_files.h"

namespace configstore {
namespace {

using namespace configstore::testing;

constexpr char kValidCore[] = "<Vexo Delta='0'><Memory ID='-2147483648' Throttling='1'/></Vexo>";

TEST(CoreConfigurationTest, EachFaultHasItsText) {
  const struct {
    const char* content;
    const char* fail;  // the failing file call
    int times;         // how often it fails; -1: always
    std::string text;
  } cases[] = {
      {"<Vexo><Memory Throttling='12abc'/></Vexo>", "", -1, ""},
      {"<Any><Memory Throttling=' -7'/></Any>", "", -1, ""},
      {"<Vexo><Memory Throttling='abc'/></Vexo>", "", -1, "Failed to validate core.xml"},
      {"<Vexo><Memory/></Vexo>", "", -1, "Failed to validate core.xml"},
      {"<Vexo><Other><Memory Throttling='1'/></Other></Vexo>", "", -1,
       "Failed to validate core.xml"},
      {kValidCore, "read", -1, "Config core.xml (read): 13 - Permission denied"},
      {kValidCore, "open", 2, ""},  // three attempts to open it
      {kValidCore, "open", 3, "Config core.xml: 13 - Permission denied"},
  };
  TempDir dir;
  for (const auto& row : cases) {
    SCOPED_TRACE(std::string(row.content) + " " + row.fail);
    WriteFile(dir / "core.xml", row.content);
    TestFiles files;
    files.fail = row.fail;
    files.failTimes = row.times;
    files.error = EACCES;
    EXPECT_EQ(row.text, CheckCoreConfiguration(dir.str(), &RecordLog, files));
    EXPECT_EQ(Lines{}, TakeLog());
  }
}

// Entries by the name core.xml that are not files say what they are, and a
// FIFO never holds up the start.
TEST(CoreConfigurationTest, NotAFileIsReportedWithoutBlocking) {
  TempDir dir;
  fs::create_directory(dir / "core.xml");
  EXPECT_EQ("Config core.xml: Is a directory", CheckCoreConfiguration(dir.str(), &RecordLog));
  fs::remove(dir / "core.xml");
  ASSERT_EQ(0, platform::MakeFifo(dir / "core.xml"));
  EXPECT_EQ("Config core.xml: Operation not permitted",
            CheckCoreConfiguration(dir.str(), &RecordLog));
  EXPECT_EQ(Lines{}, TakeLog());
}

}  // namespace
}  // namespace configstore
