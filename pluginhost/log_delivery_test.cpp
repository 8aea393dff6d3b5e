// The one-shot log delivery to the log plugin.
#include <gtest/gtest.h>

#include "pluginhost/plugin_test_support.h"

namespace pluginhost {
namespace {

using testing::TempCore;

TEST(LogDelivery, DeliversTextThroughOpenWriteCloseUnload) {
  TempCore core;
  core.AddPlugin("plugins", "full", "ZovUR.dll", "systemID=0x00020000\nrunThread=1\nacceptsRead=1");
  CoreContext context{nullptr};
  EXPECT_TRUE(DeliverLogOnce(core.root().string(), "core.xml is broken", &context));
  EXPECT_EQ(core.Trace(), (std::vector<std::string>{
                              "ZovUR.dll Load req=24/3 reply=68/2 context=1",
                              "ZovUR.dll Open mode=1 req=24/1 reply=16/1",
                              "ZovUR.dll Write size=18 provider=0x80000000 type=0x40 subtype=0x2 "
                              "level=100 reply=32/1 text=core.xml is broken",
                              "ZovUR.dll Write callback code=0",
                              "ZovUR.dll Close req=12/1 reply=12/1",
                              "ZovUR.dll Unload req=8/1 reply=12/1",
                              "ZovUR.dll unmapped",
                          }));
}

TEST(LogDelivery, SkipsWhatThePluginCannotDo) {
  TempCore core;
  // Empty text: nothing is done.
  core.AddPlugin("plugins", "full", "ZovUR.dll");
  EXPECT_FALSE(DeliverLogOnce(core.root().string(), "", nullptr));
  EXPECT_TRUE(core.Trace().empty());

  // Only the first plugin directory is looked at.
  TempCore second;
  second.AddPlugin("protected-plugins", "full", "ZovUR.dll");
  EXPECT_TRUE(DeliverLogOnce(second.root().string(), "text", nullptr));
  EXPECT_TRUE(second.Trace().empty());

  // A required entry point missing: Load is never called.
  TempCore noRead;
  noRead.AddPlugin("plugins", "omit_read", "ZovUR.dll");
  EXPECT_TRUE(DeliverLogOnce(noRead.root().string(), "text", nullptr));
  EXPECT_EQ(noRead.Trace(), (std::vector<std::string>{"ZovUR.dll unmapped"}));

  // Load fails: released without Unload.
  TempCore failing;
  failing.AddPlugin("plugins", "full", "ZovUR.dll", "loadError=3");
  EXPECT_TRUE(DeliverLogOnce(failing.root().string(), "text", nullptr));
  EXPECT_EQ(failing.Trace(), (std::vector<std::string>{
                                 "ZovUR.dll Load req=24/3 reply=68/2 context=0",
                                 "ZovUR.dll unmapped"}));

  // Without Close, Open is not called; Write and Unload still are.
  TempCore noClose;
  noClose.AddPlugin("plugins", "omit_close", "ZovUR.dll");
  EXPECT_TRUE(DeliverLogOnce(noClose.root().string(), "abc", nullptr));
  const auto trace = noClose.Trace();
  ASSERT_EQ(trace.size(), 5u);
  EXPECT_EQ(trace[1].rfind("ZovUR.dll Write size=3 ", 0), 0u) << trace[1];
  EXPECT_EQ(trace[3], "ZovUR.dll Unload req=8/1 reply=12/1");

  // No library at all.
  TempCore empty;
  EXPECT_TRUE(DeliverLogOnce(empty.root().string(), "text", nullptr));
}

}  // namespace
}  // namespace pluginhost
