// Discovery and the loading pass: candidate order, every refusal with its
// message, thresholds and module names.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "pluginhost/plugin_test_support.h"

namespace pluginhost {
namespace {

using testing::HostState;
using testing::IndexOf;
using testing::LogLine;
using testing::TempCore;
namespace fs = boost::filesystem;

void Touch(const fs::path& path) { std::ofstream(path.string()) << "x"; }

TEST(PluginDiscovery, FiltersAndOrdersCandidates) {
  TempCore core;
  const fs::path plugins = core.root() / kPluginDirectory;
  const fs::path protectedPlugins = core.root() / kProtectedPluginDirectory;
  Touch(plugins / "z.dll");
  Touch(plugins / "cvAVOde.dll");
  Touch(plugins / "UPPER.DLL");
  Touch(plugins / "notes.txt");
  Touch(plugins / "z.dll.cfg");
  fs::create_directory(plugins / "dir.dll");
  Touch(plugins / "dir.dll" / "nested.dll");
  Touch(protectedPlugins / "b.dll");
  Touch(protectedPlugins / "a.dll");
  Touch(protectedPlugins / "xvAVOde.dll");

  std::vector<std::string> names;
  for (const fs::path& p : FindCandidates(core.root().string()))
    names.push_back(p.parent_path().filename().string() + "/" + p.filename().string());
  EXPECT_EQ(names, (std::vector<std::string>{"plugins/cvAVOde.dll", "protected-plugins/xvAVOde.dll",
                                             "plugins/z.dll", "protected-plugins/a.dll",
                                             "protected-plugins/b.dll"}));

  // Paths compare element by element: "b" sorts before "b-c" although "b/"
  // sorts after "b-" as text.
  EXPECT_TRUE(CandidateBefore("/core/b/x.dll", "/core/b-c/x.dll"));
  EXPECT_FALSE(CandidateBefore("/core/b-c/x.dll", "/core/b/x.dll"));
  EXPECT_TRUE(CandidateBefore("/core/zz/vAVOde.dll", "/core/a.dll"));
}

TEST(PluginDiscovery, MissingOrNonDirectoryPluginPathsGiveNothing) {
  TempCore core;
  fs::remove(core.root() / kPluginDirectory);
  fs::remove(core.root() / kProtectedPluginDirectory);
  Touch(core.root() / kPluginDirectory);  // a file where the directory should be
  EXPECT_TRUE(FindCandidates(core.root().string()).empty());

  HostState state(core);
  EXPECT_FALSE(LoadAllPlugins(state.host));
  EXPECT_TRUE(testing::TakeLog().empty());
}

TEST(PluginLoading, RefusalsAreLoggedInCandidateOrder) {
  TempCore core;
  core.AddPlugin("plugins", "full", "GoodCam.dll", "systemID=0x00050001");
  {
    std::ofstream(core.root() / "plugins" / "broken.dll") << "not a shared object";
  }
  core.AddPlugin("plugins", "needs_dependency", "needs_dependency.dll", "systemID=0x00060000");
  core.AddPlugin("plugins", "omit_load", "noload.dll");
  core.AddPlugin("plugins", "full", "fails.dll", "systemID=0x00070000\nloadResult=3\nloadError=7");
  core.AddPlugin("plugins", "full", "loaderr.dll", "systemID=0x00080000\nloadError=9");
  core.AddPlugin("plugins", "full", "coreid.dll", "systemID=0x80000000");
  core.AddPlugin("plugins", "full", "n255.dll", "systemID=0x00FF0000\nlogLevel=50");
  core.AddPlugin("plugins", "full", "n256.dll", "systemID=0x01000000");
  core.AddPlugin("protected-plugins", "full", "GoodCam.dll", "systemID=0x00050001");
  HostState state(core);

  EXPECT_TRUE(LoadAllPlugins(state.host));
  // Upper case sorts before lower case: GoodCam.dll comes first.
  std::vector<LogLine> log = testing::TakeLog();
  // Each refusal by the loader is followed by a level-0 line with the
  // loader's own reason; take those out after checking them.
  std::vector<std::string> reasons;
  for (size_t i = 1; i < log.size();) {
    const std::string prefix = "Core: Loader error for '";
    if (log[i].text.rfind(prefix, 0) != 0) {
      ++i;
      continue;
    }
    const size_t end = log[i].text.find('\'', prefix.size());
    const std::string file = log[i].text.substr(prefix.size(), end - prefix.size());
    EXPECT_EQ(log[i].level, 0);
    EXPECT_EQ(log[i - 1].text, "Core: Failed to load plugin '" + file + "': missing dependency");
    reasons.push_back(log[i].text);
    log.erase(log.begin() + static_cast<long>(i));
  }
  ASSERT_EQ(reasons.size(), 2u);
  EXPECT_NE(reasons[1].find("libtest_dependency"), std::string::npos) << reasons[1];

  const ModuleId core0 = CORE_MODULE_ID;
  const std::vector<LogLine> expected = {
      {core0, 0, "Core: Loaded plugin: GoodCam.dll"},
      {core0, 100, "Core: Failed to load plugin 'broken.dll': missing dependency"},
      {core0, 0, "Core: Loaded plugin: coreid.dll"},
      {core0, 50, "plugin coreid.dll ID 0x80000000 already loaded"},
      {core0, 0, "Core: Loaded plugin: fails.dll"},
      {core0, 100, "plugin fails.dll load returned 3 error 7"},
      {core0, 0, "Core: Loaded plugin: loaderr.dll"},
      {core0, 100, "plugin loaderr.dll load returned 0 error 9"},
      {core0, 0, "Core: Loaded plugin: n255.dll"},
      {core0, 0, "Core: Loaded plugin: n256.dll"},
      {core0, 100,
       "plugin n256.dll ID 0x01000000 exceeds the log level array size, set LogLevelArraySize "
       "to 0xfff"},
      {core0, 100, "Core: Failed to load plugin 'needs_dependency.dll': missing dependency"},
      {core0, 0, "Core: Loaded plugin: noload.dll"},
      {core0, 100, "Core: Failed to load plugin: noload.dll (missing symbol)"},
      {core0, 0, "Core: Loaded plugin: GoodCam.dll"},
      {core0, 50, "plugin GoodCam.dll ID 0x00050001 already loaded"},
  };
  EXPECT_EQ(log, expected);

  EXPECT_EQ(state.Filenames(), (std::vector<std::string>{"GoodCam.dll", "n255.dll"}));
  EXPECT_EQ(state.names.Lookup(0x00050001), "goodcam");
  EXPECT_EQ(state.names.Lookup(0x00FF0000), "n255");
  EXPECT_FALSE(state.names.Contains(0x01000000));
  EXPECT_EQ(state.names.Lookup(CORE_MODULE_ID), "core");
  EXPECT_EQ(state.loadProblems, (std::map<std::string, std::string>{
                                    {"broken.dll", "missing dependency"},
                                    {"needs_dependency.dll", "missing dependency"}}));
  // Module 255 has no threshold slot; no slot was touched by it.
  for (uint32_t n = 1; n < 255; ++n) ASSERT_EQ(state.thresholds.Default(n), -1) << n;

  // Refused plugins are released at once, without Unload; the accepted ones
  // saw the load blocks as the contract sets them.
  for (const char* name : {"fails.dll", "loaderr.dll", "coreid.dll", "n256.dll", "noload.dll"}) {
    const auto trace = core.Trace(name);
    EXPECT_EQ(IndexOf(trace, " Unload"), -1) << name;
    EXPECT_NE(IndexOf(trace, " unmapped"), -1) << name;
  }
  EXPECT_EQ(core.Trace("n255.dll").at(0), "n255.dll Load req=24/3 reply=68/2 context=1");
  EXPECT_EQ(IndexOf(core.Trace("n255.dll"), " unmapped"), -1);

  UnloadAll(state.host);
  EXPECT_EQ(state.plugins.size(), 0u);
  EXPECT_NE(IndexOf(core.Trace("n255.dll"), " unmapped"), -1);
}

TEST(PluginLoading, PluginLevelsFillThresholds) {
  TempCore core;
  core.AddPlugin("plugins", "full", "a.dll", "systemID=0x00010000\nlogLevel=40");
  core.AddPlugin("plugins", "full", "b.dll", "systemID=0x00020000\nlogLevel=0");
  core.AddPlugin("plugins", "full", "c.dll", "systemID=0x00030000\nlogLevel=101");
  core.AddPlugin("plugins", "full", "d.dll", "systemID=0x00040000\nlogLevel=-1");
  core.AddPlugin("plugins", "full", "e.dll", "systemID=0x00050000\nlogLevel=60");
  core.AddPlugin("plugins", "full", "f.dll", "systemID=0x00060000\nlogLevel=-2");
  HostState state(core);
  // Configured before loading: module 5's current threshold, and defaults
  // that show whether the plugin's level was stored.
  state.thresholds.SetCurrent(5, 10);
  state.thresholds.SetDefault(3, 30);
  state.thresholds.SetDefault(4, 30);
  state.thresholds.SetDefault(6, 30);

  ASSERT_TRUE(LoadAllPlugins(state.host));
  const auto& t = state.thresholds;
  EXPECT_EQ(t.Default(1), 40);
  EXPECT_EQ(t.Current(1), 40);
  EXPECT_EQ(t.Default(2), -1);
  EXPECT_EQ(t.Current(2), -1);
  EXPECT_EQ(t.Default(3), 30);
  EXPECT_EQ(t.Current(3), -1);
  EXPECT_EQ(t.Default(4), -1);
  EXPECT_EQ(t.Current(4), -1);
  EXPECT_EQ(t.Default(5), 60);
  EXPECT_EQ(t.Current(5), 10);
  EXPECT_EQ(t.Default(6), 30);
  EXPECT_EQ(t.Current(6), -1);
  EXPECT_EQ(t.Current(0), 25);
  UnloadAll(state.host);
}

}  // namespace
}  // namespace pluginhost
