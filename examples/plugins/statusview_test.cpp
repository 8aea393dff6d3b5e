// Test of the status viewer statusview.dll: a new module table reaches the
// console once; other documents pass without an error.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

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
  LoadReply load;
  ASSERT_EQ(core.Load(&load), 0);
  for (const std::string& text : {status, status, delta, std::string("<Other/>"), std::string("<Vexo><M")}) {
    void* block = std::malloc(text.size());  // the document without a NUL, as delivered
    std::memcpy(block, text.data(), text.size());
    IoctlReply reply;
    EXPECT_EQ(core.Ioctl(IOCTL_CONFIG_UPDATE, block, static_cast<uint32_t>(text.size()), &reply), 0);
    EXPECT_EQ(reply.errorCode, 0);
    std::free(block);
  }
  tools::ModuleTable table;
  std::string error;
  ASSERT_TRUE(tools::ParseModuleTable(status, &table, &error)) << error;
  EXPECT_EQ(core.console(), tools::FormatModuleTable(table));
  core.Unload();
}

}  // namespace
}  // namespace example_test
