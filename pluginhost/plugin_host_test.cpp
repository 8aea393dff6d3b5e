// The plugin host against copies of the configurable test plugin in a
// temporary core directory: discovery, the loading pass with every refusal,
// thresholds, the open/close/unload passes and the one-shot log delivery.
// Compiled with -pedantic -Werror, so the plugin header stays strict C++.
#include "pluginhost/plugin_host.h"

#include <gtest/gtest.h>

#include "tests/lines_in_order.h"
#include "tests/recording_writer.h"

#include <algorithm>
#include <fstream>

#include <boost/filesystem.hpp>

namespace pluginhost {
namespace {

namespace fs = boost::filesystem;
using Lines = std::vector<std::string>;

using testing_writer::RecordingWriter;

// What the host logged since the last call, as "LEVEL:TEXT".  The core's
// writer answers threshold queries with -1, so every line passes; the host
// logs only as the core.
Lines TakeLog() {
  Lines lines;
  for (const testing_writer::Written& w : RecordingWriter::Instance().TakeMessages()) {
    EXPECT_EQ(w.provider, CORE_MODULE_ID) << w.text;
    lines.push_back(std::to_string(w.level) + ":" + w.text);
  }
  return lines;
}

using testing_lines::InOrder;

// A core directory with both plugin directories and what the core object
// lends the host; every plugin appends its calls to one trace file.
class PluginHostTest : public ::testing::Test {
 protected:
  PluginHostTest() {
    fs::create_directories(root_ / kPluginDirectory);
    fs::create_directories(root_ / kProtectedPluginDirectory);
    names_.Set(CORE_MODULE_ID, "core");
    host_ = {root_.string(), &context_, &RecordingWriter::Write, &thresholds_, &names_, &problems_, &plugins_};
    RecordingWriter::Instance().Reset();
  }
  ~PluginHostTest() override {
    CloseAll(host_);
    UnloadAll(host_);
    TakeLog();  // checks that what nobody took was logged as the core too
    boost::system::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  // Copies test plugin `variant` to root/dir/name with its settings file.
  void AddPlugin(const std::string& dir, const std::string& variant, const std::string& name,
                 const std::string& settings = "") {
    fs::create_directories(root_ / dir);
    fs::copy_file(fs::path(TEST_PLUGIN_DIR) / (variant + ".dll"), root_ / dir / name);
    std::ofstream((root_ / dir / name).string() + ".cfg")
        << settings << "\ntrace=" << (root_ / "trace.txt").string() << "\n";
  }
  // The trace lines, or only those of one plugin file name.
  Lines Trace(const std::string& name = "") const {
    std::ifstream in((root_ / "trace.txt").string());
    Lines lines;
    for (std::string line; std::getline(in, line);)
      if (line.starts_with(name + (name.empty() ? "" : " "))) lines.push_back(line);
    return lines;
  }
  Lines Filenames() const {
    Lines out;
    plugins_.ForEach([&](const PluginInfo& p) { out.push_back(p.Filename); });
    return out;
  }

  const fs::path root_ = fs::temp_directory_path() / fs::unique_path("pluginhost-%%%%-%%%%-%%%%");
  base::LogThresholds thresholds_;
  base::ModuleNameMap names_;
  std::map<std::string, std::string> problems_;
  PluginList plugins_;
  CoreContext context_{nullptr};  // only its address travels to the plugins
  HostContext host_;
};

TEST_F(PluginHostTest, DiscoveryFiltersAndOrdersCandidates) {
  for (const char* file : {"plugins/z.dll", "plugins/cvAVOde.dll", "plugins/UPPER.DLL",
                           "plugins/z.dll.cfg", "plugins/dir.dll/nested.dll", "protected-plugins/b.dll",
                           "protected-plugins/a.dll", "protected-plugins/xvAVOde.dll"}) {
    fs::create_directories((root_ / file).parent_path());
    std::ofstream((root_ / file).string()) << "x";
  }
  Lines names;
  for (const fs::path& p : FindCandidates(root_.string()))
    names.push_back(p.lexically_relative(root_).string());
  EXPECT_EQ(names, (Lines{"plugins/cvAVOde.dll", "protected-plugins/xvAVOde.dll", "plugins/z.dll",
                          "protected-plugins/a.dll", "protected-plugins/b.dll"}));
  // Element by element: "b" sorts before "b-c" although "b/" sorts after "b-" as text.
  EXPECT_TRUE(CandidateBefore("/core/b/x.dll", "/core/b-c/x.dll"));
  EXPECT_FALSE(CandidateBefore("/core/b-c/x.dll", "/core/b/x.dll"));

  // Missing plugin directories, or a file in place of one, give nothing, silently.
  fs::remove_all(root_ / kPluginDirectory);
  fs::remove_all(root_ / kProtectedPluginDirectory);
  std::ofstream((root_ / kPluginDirectory).string()) << "x";
  EXPECT_FALSE(LoadAllPlugins(host_));
  EXPECT_TRUE(TakeLog().empty());
}

TEST_F(PluginHostTest, RefusalsAreLoggedInCandidateOrder) {
  AddPlugin("plugins", "full", "GoodCam.dll", "systemID=0x00050001");
  std::ofstream((root_ / "plugins" / "broken.dll").string()) << "not a shared object";
  AddPlugin("plugins", "omit_load", "noload.dll");
  AddPlugin("plugins", "full", "fails.dll", "systemID=0x00070000\nloadResult=3\nloadError=7");
  AddPlugin("plugins", "full", "loaderr.dll", "systemID=0x00080000\nloadError=9");
  AddPlugin("plugins", "full", "coreid.dll", "systemID=0x80000000");
  AddPlugin("plugins", "full", "n255.dll", "systemID=0x00FF0000\nlogLevel=50");
  AddPlugin("plugins", "full", "n256.dll", "systemID=0x01000000");
  AddPlugin("protected-plugins", "full", "GoodCam.dll", "systemID=0x00050001");

  EXPECT_TRUE(LoadAllPlugins(host_));
  Lines log = TakeLog();
  // The loader's own reason follows its refusal, at level 0.
  const std::string reason = "0:Core: Loader error for 'broken.dll': ";
  for (std::string& line : log)
    if (line.starts_with(reason) && line.size() > reason.size()) line = reason + "(reason)";
  EXPECT_EQ(log, (Lines{
                     "0:Core: Loaded plugin: GoodCam.dll",  // upper case sorts first
                     "100:Core: Failed to load plugin 'broken.dll': missing dependency",
                     reason + "(reason)",
                     "0:Core: Loaded plugin: coreid.dll",
                     "50:plugin coreid.dll ID 0x80000000 already loaded",
                     "0:Core: Loaded plugin: fails.dll",
                     "100:plugin fails.dll load returned 3 error 7",
                     "0:Core: Loaded plugin: loaderr.dll",
                     "100:plugin loaderr.dll load returned 0 error 9",
                     "0:Core: Loaded plugin: n255.dll",
                     "0:Core: Loaded plugin: n256.dll",
                     "100:plugin n256.dll ID 0x01000000 exceeds the log level array size, set "
                     "LogLevelArraySize to 0xfff",
                     "0:Core: Loaded plugin: noload.dll",
                     "100:Core: Failed to load plugin: noload.dll (missing symbol)",
                     "0:Core: Loaded plugin: GoodCam.dll",
                     "50:plugin GoodCam.dll ID 0x00050001 already loaded",
                 }));

  EXPECT_EQ(Filenames(), (Lines{"GoodCam.dll", "n255.dll"}));
  EXPECT_EQ(names_.Lookup(0x00050001), "goodcam");
  EXPECT_EQ(names_.Lookup(0x00FF0000), "n255");
  EXPECT_FALSE(names_.Contains(0x01000000));
  EXPECT_EQ(problems_, (std::map<std::string, std::string>{{"broken.dll", "missing dependency"}}));
  // Module 255 has no threshold slot, and touched none.
  for (uint32_t n = 1; n < 255; ++n) ASSERT_EQ(thresholds_.Default(n), -1) << n;

  // Refused plugins are released at once without Unload; accepted ones stay
  // mapped until unloaded, and saw the load blocks as the contract sets them.
  const std::string load = " Load req=24/3 reply=68/2 context=1";
  for (const std::string name : {"fails.dll", "loaderr.dll", "coreid.dll", "n256.dll"})
    EXPECT_EQ(Trace(name), (Lines{name + load, name + " unmapped"}));
  EXPECT_EQ(Trace("noload.dll"), (Lines{"noload.dll unmapped"}));
  EXPECT_EQ(Trace("n255.dll"), (Lines{"n255.dll" + load}));
  UnloadAll(host_);
  EXPECT_EQ(plugins_.size(), 0u);
  EXPECT_EQ(Trace("n255.dll"), (Lines{"n255.dll" + load, "n255.dll Unload req=8/1 reply=12/1", "n255.dll unmapped"}));
}

TEST_F(PluginHostTest, PluginLevelsFillThresholds) {
  const struct {
    int32_t level, currentBefore, defaultBefore, defaultAfter, currentAfter;
  } cases[] = {
      {40, -1, -1, 40, 40},
      {60, 10, -1, 60, 10},   // a threshold configured before loading is kept
      {-1, -1, 30, -1, -1},   // -1 is a level
      {0, -1, 30, 30, -1},    // 0: the plugin gave none
      {101, -1, 30, 30, -1},  // out of range
      {-2, -1, 30, 30, -1},
  };
  for (uint32_t n = 1; n <= std::size(cases); ++n) {
    const auto& c = cases[n - 1];
    AddPlugin("plugins", "full", "p" + std::to_string(n) + ".dll",
              "systemID=" + std::to_string(n << 16) + "\nlogLevel=" + std::to_string(c.level));
    thresholds_.SetCurrent(n, c.currentBefore);
    thresholds_.SetDefault(n, c.defaultBefore);
  }
  ASSERT_TRUE(LoadAllPlugins(host_));
  for (uint32_t n = 1; n <= std::size(cases); ++n) {
    EXPECT_EQ(thresholds_.Default(n), cases[n - 1].defaultAfter) << "level " << cases[n - 1].level;
    EXPECT_EQ(thresholds_.Current(n), cases[n - 1].currentAfter) << "level " << cases[n - 1].level;
  }
  EXPECT_EQ(thresholds_.Current(0), 25);
}

TEST_F(PluginHostTest, PassesFollowMaskOrderAndReportFailures) {
  AddPlugin("plugins", "full", "p1.dll", "systemID=0x00010000\nmask5=1\nunloadError=6");
  AddPlugin("plugins", "full", "p3.dll",
            "systemID=0x00030000\nmask5=3\nopenResult=5\ncloseResult=2\ncloseError=4");
  // The largest mask, compared unsigned, closes first.
  AddPlugin("plugins", "full", "p8.dll",
            "systemID=0x00080000\nmask5=0x80000000\nrunThread=1\nacceptsRead=1");
  AddPlugin("plugins", "only_load", "bare.dll", "systemID=0x00090000");
  ASSERT_TRUE(LoadAllPlugins(host_));
  TakeLog();

  OpenAll(host_);
  StartReadThreads(host_);
  std::map<std::string, int32_t> codes;
  plugins_.ForEach([&](const PluginInfo& p) { codes[p.Filename] = p.OpenCode; });
  EXPECT_EQ(codes, (std::map<std::string, int32_t>{
                       {"bare.dll", -100}, {"p1.dll", 0}, {"p3.dll", 5}, {"p8.dll", 0}}));
  CloseAll(host_);
  EXPECT_EQ(Filenames(), (Lines{"p8.dll", "p3.dll", "p1.dll", "bare.dll"}));
  UnloadAll(host_);
  EXPECT_EQ(plugins_.size(), 0u);
  EXPECT_EQ(TakeLog(), (Lines{"0:plugin p3.dll close returned 2 error 4",
                              "0:plugin bare.dll close returned -100 error 0",
                              "0:plugin p1.dll unload returned 0 error 6",
                              "0:plugin bare.dll unload returned -100 error 0"}));

  // Close and unload follow the mask order; every library is released.
  EXPECT_TRUE(InOrder(Trace(), {"p8.dll Close", "p3.dll Close", "p1.dll Close", "p8.dll Unload",
                                "p3.dll Unload", "p1.dll Unload"}));
  for (const char* name : {"p1.dll", "p3.dll", "p8.dll", "bare.dll"})
    EXPECT_TRUE(InOrder(Trace(name), {" unmapped"})) << name;
  // The run and start-up read threads get the contract's blocks, block
  // until Close, and are joined before Unload.
  const Lines p8 = Trace("p8.dll");
  for (const char* call : {"IOCTL begin code=1 req=40/1 reply=28/1 buffer=8/1 nested=8/1 reply code=1",
                           "Read begin req=40/1 reply=32/1 flag=1 size=0 data=0 id=0 payload=",
                           "Open mode=0 req=24/1 reply=16/1", "Close req=12/1 reply=12/1",
                           "Unload req=8/1 reply=12/1"})
    EXPECT_TRUE(InOrder(p8, {call})) << call;
  EXPECT_TRUE(InOrder(p8, {"Close", "Read end", "Unload"}));
  EXPECT_TRUE(InOrder(p8, {"Close", "IOCTL end", "Unload"}));
  EXPECT_FALSE(InOrder(Trace("p1.dll"), {"Read"}) || InOrder(Trace("p1.dll"), {"IOCTL"}));
}

TEST_F(PluginHostTest, LogDeliveryIsOneShot) {
  const std::string load = "ZovUR.dll Load req=24/3 reply=68/2 context=1",
                    write = "ZovUR.dll Write provider=0x80000000 type=0x40 subtype=0x2 request=0 "
                            "level=100 reply=32/1 size=3 text=abc",
                    dropped = "ZovUR.dll Write callback code=0",  // what the plugin writes goes nowhere
                    unload = "ZovUR.dll Unload req=8/1 reply=12/1", unmapped = "ZovUR.dll unmapped";
  const struct {
    const char* dir;
    const char* variant;
    const char* settings;
    Lines trace;
  } cases[] = {
      {"plugins", "full", "runThread=1\nacceptsRead=1",
       {load, "ZovUR.dll Open mode=1 req=24/1 reply=16/1", write, dropped,
        "ZovUR.dll Close req=12/1 reply=12/1", unload, unmapped}},
      {"protected-plugins", "full", "", {}},  // only the first directory is tried
      {"plugins", "omit_read", "", {unmapped}},  // a required entry point is missing
      {"plugins", "full", "loadError=3", {load, unmapped}},  // released without Unload
      {"plugins", "omit_close", "", {load, write, dropped, unload, unmapped}},  // no Open either
  };
  int i = 0;
  for (const auto& c : cases) {
    const std::string core = "case" + std::to_string(++i);
    AddPlugin(core + "/" + c.dir, c.variant, "ZovUR.dll", c.settings);
    fs::remove(root_ / "trace.txt");
    EXPECT_TRUE(DeliverLogOnce((root_ / core).string(), "abc", &context_));
    EXPECT_EQ(Trace(), c.trace) << c.variant << " " << c.settings;
  }
  // An empty text does nothing; no library at all is no failure.
  fs::remove(root_ / "trace.txt");
  EXPECT_FALSE(DeliverLogOnce((root_ / "case1").string(), "", &context_));
  EXPECT_TRUE(Trace().empty());
  EXPECT_TRUE(DeliverLogOnce(root_.string(), "abc", &context_));
  EXPECT_TRUE(TakeLog().empty());
}

}  // namespace
}  // namespace pluginhost
