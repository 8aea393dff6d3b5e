#include "configstore/core_config.h"

#include <gtest/gtest.h>

#include <string>

namespace configstore {
namespace {

std::string Delta(const std::string& plugins, const std::string& attributes = " Delta=\"1\"",
                  const std::string& root = "Vexo") {
  return "<" + root + attributes + "><Modules><Module>" + plugins + "</Module></Modules></" + root + ">";
}

std::string Plugin(const char* id, const char* level) {
  return std::string("<Plugin ID=\"") + id + "\" LogLevel=\"" + level + "\"/>";
}

// Steps applied in order to one set of thresholds: module 5 (ID 327680)
// starts at 50 with the default 40 it declared at load.
TEST(CoreConfigTest, DeltaSteps) {
  base::LogThresholds thresholds;
  thresholds.SetCurrent(5, 50);
  thresholds.SetDefault(5, 40);
  const struct {
    std::string text;
    bool changed;
    uint32_t module;
    int level;
  } steps[] = {
      {Delta(Plugin("327680", "25")), true, 5, 25},
      {Delta(Plugin("327680", "25") + Plugin("327680", "101") + Plugin("327680", "-2")), false, 5, 25},  // unchanged, out of range
      {Delta(Plugin("327680", "25") + Plugin("327680", "30")), true, 5, 30},  // document order
      // -1 unsets a set threshold; on an unset one it restores the default, if any.
      {Delta(Plugin("327680", "-1")), true, 5, -1},
      {Delta(Plugin("327680", "-1")), true, 5, 40},
      // Anything but a parsed document with Delta 1 changes nothing.
      {Delta(Plugin("327680", "10"), " Delta=\"one\""), false, 5, 40},
      {"not xml", false, 5, 40},
      // Elements without a readable ID or LogLevel are skipped.
      {Delta("<Plugin ID=\"327680\"/><Plugin LogLevel=\"10\"/>" + Plugin("x", "10")), false, 5, 40},
      // Module numbers 255 and 4095 lie outside the threshold arrays.
      {Delta(Plugin("16711680", "10") + Plugin("268369920", "10")), false, 5, 40},
      // Any root name; the module number is bits 16 to 27 of the ID, which may be negative.
      {Delta(Plugin("268763136", "20"), " Delta=\"1\"", "Doc"), true, 5, 20},
      {Delta(Plugin("-2147483648", "0")), true, 0, 0},
  };
  for (const auto& step : steps) {
    EXPECT_EQ(ApplyCoreConfig(step.text, thresholds), step.changed) << step.text;
    EXPECT_EQ(thresholds.Current(step.module), step.level) << step.text;
  }
  for (uint32_t n = 1; n < base::LogThresholds::kSlots; ++n)
    EXPECT_EQ(thresholds.Current(n), n == 5 ? 20 : -1) << n;
  EXPECT_EQ(thresholds.Default(5), 40);
}

}  // namespace
}  // namespace configstore
