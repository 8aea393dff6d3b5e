// Tests of the module table: a full status document with a supervisor and a
// failed library laid out as a table, a delta, and documents refused without harm.
#include "tools/module_table.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "configstore/xml_document.h"

namespace tools {
namespace {

TEST(ModuleTableTest, LaysOutModulesSupervisorAndFailedLibraries) {
  std::ostringstream sample;
  sample << std::ifstream(TOOLS_TESTDATA "/plugins.xml").rdbuf();
  ModuleTable table;
  std::string error;
  ASSERT_TRUE(ParseModuleTable(sample.str(), &table, &error)) << error;
  const std::vector<std::string> expected = {
      "Core 20.12.8.0, supervised by orvaned 3.1.4, 5 modules",
      "ID          Name        File            Load ms  Open ms  Open code  Level  Default",
      "0x80000000  core        core                  0        0          0     25       25",
      "0x00010000  zovur       ZovUR.dll             1        0          0     -1       -1",
      "0x00020000  camsim      camsim.dll            2        0          0     25       25",
      "0x00030000  recorder    recorder.dll          3        3          5      0       25",
      "0x00040000  statusview  statusview.dll        1        0          0     25       25",
      "Total                                         7        3",
      "Failed libraries:",
      "  broken.dll  missing dependency",
  };
  EXPECT_EQ(FormatModuleTable(table), expected);

  // A delta carries only IDs and levels.
  ASSERT_TRUE(ParseModuleTable("<Vexo Delta=\"1\"><Modules><Module><Plugin ID=\"327680\" LogLevel=\"25\"/>"
                               "</Module></Modules></Vexo>", &table, &error));
  EXPECT_TRUE(table.delta);
  EXPECT_EQ(FormatModuleTable(table).at(2), "0x00050000                    -        -          -     25        -");
}

// Nesting limits are the XML wrapper's; here only that the table goes through it.
TEST(ModuleTableTest, RefusesBrokenDeepAndForeignDocuments) {
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  for (const auto& [text, refusal] : std::vector<std::pair<std::string, std::string>>{
           {"<Vexo><Modules>", ""},
           {"<Vexo Delta=\"0\"/>", "no Modules element"},
           {deep, configstore::kXmlNestedTooDeeplyText}}) {
    ModuleTable table;
    std::string error;
    EXPECT_FALSE(ParseModuleTable(text, &table, &error)) << text.substr(0, 20);
    EXPECT_EQ(error.substr(0, refusal.size()), refusal) << text.substr(0, 20);
  }
}

}  // namespace
}  // namespace tools
