#include "pluginhost/product_document.h"

#include <gtest/gtest.h>

#include <string>

#include "pluginhost/document_test_support.h"

namespace pluginhost {
namespace {

using testing::ScratchWorkDir;

ProductSettings Read(core::LogThresholds& thresholds, bool throttlingSwitch = true) {
  ProductSettings settings{"Orvane", "20.12.8.0", throttlingSwitch};
  ReadProductAndSettings(&settings, thresholds);
  return settings;
}

TEST(ProductDocumentTest, FamilyAndVersion) {
  ScratchWorkDir directory;
  core::LogThresholds thresholds;
  ProductSettings settings = Read(thresholds);  // no files at all
  EXPECT_EQ(settings.family, "Orvane");
  EXPECT_EQ(settings.version, "20.12.8.0");
  EXPECT_TRUE(settings.throttlingSwitch);

  ScratchWorkDir::Write("product.xml", "<Any><Product Version=\"2.0\"/></Any>");
  settings = Read(thresholds);
  EXPECT_EQ(settings.family, "Orvane");
  EXPECT_EQ(settings.version, "2.0");

  // Present but empty still replaces the default.
  ScratchWorkDir::Write("product.xml", "<Any><Product Family=\"\"/></Any>");
  settings = Read(thresholds);
  EXPECT_EQ(settings.family, "");
  EXPECT_EQ(settings.version, "20.12.8.0");
}

TEST(ProductDocumentTest, ThrottlingSwitch) {
  ScratchWorkDir directory;
  const struct {
    const char* core;
    bool initial;
    bool expected;
  } cases[] = {
      {"<Vexo><Memory Throttling=\"0\"/></Vexo>", true, false},
      {"<Vexo><Memory Throttling=\"7\"/></Vexo>", false, true},
      {"<Vexo><Memory Throttling=\"off\"/></Vexo>", true, true},
      // Only the first child of that name counts, and a comment is no element.
      {"<Vexo><!--Memory--><Memory Throttling=\"0\"/></Vexo>", true, true},
      {"<Vexo><Memory Throttling=\"0\">", true, true},  // does not parse
  };
  for (const auto& c : cases) {
    ScratchWorkDir::Write("core.xml", c.core);
    core::LogThresholds thresholds;
    EXPECT_EQ(Read(thresholds, c.initial).throttlingSwitch, c.expected) << c.core;
  }
}

TEST(ProductDocumentTest, StoredThresholds) {
  ScratchWorkDir directory;
  ScratchWorkDir::Write(
      "core.xml",
      "<Vexo><Modules><Module>"
      "<Plugin ID=\"-2147483648\" LogLevel=\"0\" LogLevelDefault=\"25\"/>"
      "<Plugin ID=\"327680\" LogLevel=\"-1\" LogLevelDefault=\"25\"/>"   // 5: the stored default
      "<Plugin ID=\"393216\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>"   // 6: unset
      "<Plugin ID=\"458752\" LogLevel=\"-1\"/>"                          // 7: unset
      "<Plugin ID=\"524288\" LogLevel=\"101\" LogLevelDefault=\"25\"/>"  // 8: ignored
      "<Plugin ID=\"16711680\" LogLevel=\"10\"/>"                        // number 255: ignored
      "<Plugin ID=\"269025280\" LogLevel=\"60\"/>"                       // bit 28 set: number 9
      "<Plugin ID=\"327680\"/><Plugin ID=\"x\" LogLevel=\"1\"/>"         // skipped
      "</Module><Module>"
      "<Plugin ID=\"655360\" LogLevel=\"75\" LogLevelDefault=\"200\"/>"  // 10
      "<Plugin ID=\"720896\" LogLevel=\"-1\" LogLevelDefault=\"200\"/>"  // 11: default not a level
      "</Module></Modules></Vexo>");
  core::LogThresholds thresholds;
  for (uint32_t n : {6u, 7u, 8u, 11u, 254u}) thresholds.SetCurrent(n, 40);
  Read(thresholds);

  EXPECT_EQ(thresholds.Current(0), 0);
  EXPECT_EQ(thresholds.Current(5), 25);
  EXPECT_EQ(thresholds.Current(6), -1);
  EXPECT_EQ(thresholds.Current(7), -1);
  EXPECT_EQ(thresholds.Current(8), 40);
  EXPECT_EQ(thresholds.Current(9), 60);
  EXPECT_EQ(thresholds.Current(10), 75);
  EXPECT_EQ(thresholds.Current(11), -1);
  EXPECT_EQ(thresholds.Current(254), 40);
  // The defaults are the plugins' own, reported at load.
  EXPECT_EQ(thresholds.Default(0), 25);
  EXPECT_EQ(thresholds.Default(5), -1);
}

}  // namespace
}  // namespace pluginhost
