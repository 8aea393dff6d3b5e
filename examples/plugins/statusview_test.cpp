// Test of the status viewer statusview.dll: a new module table reaches the
// console once; deltas, other documents and broken ones pass without an error.
#include <gtest/gtest.h>

#include "fake_core.h"
#include "tools/module_table.h"

namespace example_test {
namespace {

TEST(StatusViewTest, PrintsEachNewModuleTableOnTheConsoleOnce) {
  const std::string status =
      "<?xml ?><Vexo Delta=\"0\"><Modules><Module ID=\"-2147483648\" Name=\"Core\" Version=\"1\">"
      "<Plugin ID=\"262144\" Filename=\"statusview.dll\" LoadTimeMs=\"2\" LogLevel=\"25\"/>"
      "</Module></Modules></Vexo>";
  std::string delta = status;
  delta.replace(delta.find("Delta=\"0\""), 9, "Delta=\"1\"");
  FakeCore core(EXAMPLE_PLUGIN_DIR "/statusview.dll");
  core.Load();
  for (const std::string& text : {status, status, delta, std::string("<Other/>"), std::string("<Vexo><M")})
    EXPECT_EQ(core.Ioctl(IOCTL_CONFIG_UPDATE, text), 0);
  tools::ModuleTable table;
  std::string error;
  ASSERT_TRUE(tools::ParseModuleTable(status, &table, &error)) << error;
  EXPECT_EQ(core.console(), tools::FormatModuleTable(table));
}

}  // namespace
}  // namespace example_test
