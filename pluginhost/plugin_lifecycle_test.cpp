// The open, read-thread, close and unload passes: order, codes, messages and
// the joining of plugin threads before Unload.
#include <gtest/gtest.h>

#include "pluginhost/plugin_test_support.h"

namespace pluginhost {
namespace {

using testing::HostState;
using testing::IndexOf;
using testing::LogLine;
using testing::TempCore;

TEST(PluginLifecycle, EmptyListDoesNothing) {
  TempCore core;
  HostState state(core);
  OpenAll(state.host);
  StartReadThreads(state.host);
  CloseAll(state.host);
  UnloadAll(state.host);
  EXPECT_TRUE(testing::TakeLog().empty());
}

TEST(PluginLifecycle, PassesFollowMaskOrderAndReportFailures) {
  TempCore core;
  core.AddPlugin("plugins", "full", "p1.dll", "systemID=0x00010000\nmask5=1\nunloadError=6");
  core.AddPlugin("plugins", "full", "p3.dll",
                 "systemID=0x00030000\nmask5=3\nopenResult=5\ncloseResult=2\ncloseError=4");
  // Largest mask: compared unsigned, it must close first.
  core.AddPlugin("plugins", "full", "p8.dll",
                 "systemID=0x00080000\nmask5=0x80000000\nrunThread=1\nacceptsRead=1");
  core.AddPlugin("plugins", "only_load", "bare.dll", "systemID=0x00090000");
  HostState state(core);
  ASSERT_TRUE(LoadAllPlugins(state.host));
  ASSERT_EQ(state.Filenames(), (std::vector<std::string>{"bare.dll", "p1.dll", "p3.dll", "p8.dll"}));
  testing::TakeLog();

  OpenAll(state.host);
  StartReadThreads(state.host);
  std::map<std::string, int32_t> codes;
  state.plugins.ForEach([&](const PluginInfo& p) { codes[p.Filename] = p.OpenCode; });
  EXPECT_EQ(codes, (std::map<std::string, int32_t>{
                       {"bare.dll", -100}, {"p1.dll", 0}, {"p3.dll", 5}, {"p8.dll", 0}}));

  CloseAll(state.host);
  EXPECT_EQ(state.Filenames(), (std::vector<std::string>{"p8.dll", "p3.dll", "p1.dll", "bare.dll"}));
  UnloadAll(state.host);
  EXPECT_EQ(state.plugins.size(), 0u);

  const ModuleId c = CORE_MODULE_ID;
  EXPECT_EQ(testing::TakeLog(), (std::vector<LogLine>{
                                    {c, 0, "plugin p3.dll close returned 2 error 4"},
                                    {c, 0, "plugin bare.dll close returned -100 error 0"},
                                    {c, 0, "plugin p1.dll unload returned 0 error 6"},
                                    {c, 0, "plugin bare.dll unload returned -100 error 0"},
                                }));

  // Close and unload both follow the mask order; every library is released.
  const auto all = core.Trace();
  EXPECT_LT(IndexOf(all, "p8.dll Close"), IndexOf(all, "p3.dll Close"));
  EXPECT_LT(IndexOf(all, "p3.dll Close"), IndexOf(all, "p1.dll Close"));
  EXPECT_LT(IndexOf(all, "p1.dll Close"), IndexOf(all, "p8.dll Unload"));
  EXPECT_LT(IndexOf(all, "p8.dll Unload"), IndexOf(all, "p3.dll Unload"));
  EXPECT_LT(IndexOf(all, "p3.dll Unload"), IndexOf(all, "p1.dll Unload"));
  for (const char* name : {"p1.dll", "p3.dll", "p8.dll", "bare.dll"})
    EXPECT_NE(IndexOf(core.Trace(name), " unmapped"), -1) << name;

  // The run and start-up read threads get the contract's blocks, block
  // until Close, and are joined before Unload.
  const auto p8 = core.Trace("p8.dll");
  EXPECT_NE(IndexOf(p8, "IOCTL begin code=1 req=40/1 buffer=8/1 reply=28/1/1 nested=8/1"), -1);
  EXPECT_NE(IndexOf(p8, "Read begin req=40/1 flag=1 size=0 data=0 id=0 reply=32/1"), -1);
  EXPECT_NE(IndexOf(p8, "Open mode=0 req=24/1 reply=16/1"), -1);
  EXPECT_NE(IndexOf(p8, "Close req=12/1 reply=12/1"), -1);
  EXPECT_NE(IndexOf(p8, "Unload req=8/1 reply=12/1"), -1);
  EXPECT_LT(IndexOf(p8, "Close"), IndexOf(p8, "Read end"));
  EXPECT_LT(IndexOf(p8, "Read end"), IndexOf(p8, "Unload"));
  EXPECT_LT(IndexOf(p8, "IOCTL end"), IndexOf(p8, "Unload"));
  // Without the flags there is no thread and no start-up Read.
  EXPECT_EQ(IndexOf(core.Trace("p1.dll"), "Read"), -1);
  EXPECT_EQ(IndexOf(core.Trace("p1.dll"), "IOCTL"), -1);
}

}  // namespace
}  // namespace pluginhost
