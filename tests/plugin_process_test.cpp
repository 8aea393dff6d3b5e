// The real core with copies of the configurable test plugin, each with
// settings of its own, in a temporary core directory: events and paced read
// answers travel between plugins, a stop during loading still runs the whole
// sequence, and configuration documents travel, apply and persist.
#include <gtest/gtest.h>

#include <csignal>
#include <ctime>
#include <regex>
#include <sstream>

#include "tests/core_directory.h"
#include "tests/lines_in_order.h"

namespace {

using namespace testing_core;
using testing_lines::InOrder;
using Lines = std::vector<std::string>;

// "current/default" of the status document's Plugin with `id`, or "-".
std::string Levels(const std::string& document, const std::string& id) {
  const std::regex plugin("<Plugin ID=\"" + id +
                          "\"[^>]* LogLevel=\"(-?[0-9]+)\" LogLevelDefault=\"(-?[0-9]+)\"");
  std::smatch match;
  return std::regex_search(document, match, plugin) ? match[1].str() + "/" + match[2].str() : "-";
}

class PluginProcessTest : public ::testing::Test {
 protected:
  void Write(const std::string& name, const std::string& text) { core_.Write(name, text); }
  // Installs a copy of the test plugin as plugins/NAME.dll with its settings.
  void AddPlugin(const std::string& name, const std::string& settings) {
    core_.AddPlugin(TEST_PLUGIN, name, settings);
  }
  // The trace lines that start with `prefix`, without it.
  Lines Trace(const std::string& prefix = "") const {
    std::istringstream in(core_.Trace());
    Lines lines;
    for (std::string line; std::getline(in, line);)
      if (line.starts_with(prefix)) lines.push_back(line.substr(prefix.size()));
    return lines;
  }
  // The configuration documents `plugin` received, each as "empty" (no
  // data), the delta itself, or "status <levels of module 5> level=<the
  // plugin's own threshold as the core answered it on arrival>".
  Lines Configs(const std::string& plugin) const {
    Lines summary;
    for (const std::string& call : Trace(plugin + ".dll config ")) {
      const size_t text = call.find(" text="), level = call.find("level=");
      const std::string document = call.substr(text + 6);
      if (call.starts_with("size=0 data=0 ") && document.empty())
        summary.push_back("empty");
      else if (document.find("Delta=\"1\"") != document.npos)
        summary.push_back(document);
      else
        summary.push_back("status " + Levels(document, "327680") + " " + call.substr(level, text - level));
    }
    return summary;
  }

  void StartCore() {
    fs::remove(core_.dir / "trace.txt");
    ASSERT_TRUE(core_.Start());
  }
  // Stops the core with SIGINT and returns its standard output.
  std::string StopCore() {
    child().Signal(SIGINT);
    EXPECT_EQ(child().Wait(std::chrono::seconds(60)), 0);
    return child().Stdout();
  }
  platform::ChildProcess& child() { return core_.child(); }

  CoreDirectory core_;
};

TEST_F(PluginProcessTest, EventsAndPacedReadAnswersTravelBetweenPlugins) {
  AddPlugin("producer", "systemID=0x00110000\nproduce=100");
  AddPlugin("consumer", "systemID=0x00120000\nacceptsWrite=1\nmask3=0xFFFFFFFF\nhold=1");
  AddPlugin("reader", "systemID=0x00130000\nacceptsRead=1\nmask3=0xFFFFFFFF");
  StartCore();
  ASSERT_TRUE(WaitUntil([&] { return InOrder(Trace("consumer.dll Write "), {"text=answer3"}); }))
      << child().Stdout();
  StopCore();

  // The producer's events arrive whole, once and in order.
  Lines events, expected;
  for (const std::string& line : Trace("consumer.dll Write "))
    if (line.find("provider=0x00110000") != line.npos) events.push_back(line);
  for (int i = 0; i < 100; ++i)
    expected.push_back("provider=0x00110000 type=0x8 subtype=0x5 request=0 level=0 reply=32/1 size=" +
                       std::to_string(std::to_string(i).size() + 7) + " text=event " + std::to_string(i));
  EXPECT_EQ(events, expected);
  // The read request reaches the reader; its second answer is admitted only
  // after the consumer let go of the first: one answer in flight per request
  // thread.
  const Lines all = Trace();
  EXPECT_TRUE(InOrder(all, {"producer.dll broadcast code=0"}));
  EXPECT_TRUE(InOrder(all, {"reader.dll Read begin req=40/1 reply=32/1 flag=1 size=7 data=1 id=77 payload=camera",
                            "consumer.dll releases first answer", "reader.dll answer2 written code=0",
                            "reader.dll answer3 written code=0"}));
  EXPECT_TRUE(InOrder(Trace("consumer.dll Write "),
                      {"provider=0x00130000 type=0x8 subtype=0x5 request=77 level=0 reply=32/1 size=1024 text=answer1",
                       "size=1024 text=answer2", "size=1024 text=answer3"}));
}

TEST_F(PluginProcessTest, StopDuringLoadingStillOpensStartsAndStops) {
  AddPlugin("slow", "systemID=0x00140000\nloadDelayMs=1500");
  StartCore();
  ASSERT_TRUE(WaitUntil([&] { return !Trace("slow.dll load begins").empty(); }));
  const std::string out = StopCore();
  EXPECT_TRUE(InOrder(Trace("slow.dll "), {"load ends", "Open mode=0", "Close"}));
  const auto started = out.find("successfully started core version");
  ASSERT_NE(started, std::string::npos) << out;
  EXPECT_LT(started, out.find("stopping core version"));
}

constexpr char kDelta5[] =
    "<Vexo Delta=\"1\"><Modules><Module><Plugin ID=\"327680\" LogLevel=\"25\"/></Module></Modules></Vexo>";
constexpr char kDelta7[] =
    "<Vexo Delta=\"1\"><Modules><Module><Plugin ID=\"458752\" LogLevel=\"60\"/></Module></Modules></Vexo>";

// A plugin lowers module 5 from 50 to 25: everyone else sees the delta, the
// core applies it, rewrites and republishes the status document, and the next
// run starts with 25.  The same delta in the next run changes nothing.
TEST_F(PluginProcessTest, DeltaReachesOtherPluginsAndPersists) {
  Write("product.xml", "<Vexo><Product Version=\"2.0\"/></Vexo>");
  AddPlugin("provider", std::string("systemID=0x00060000\npost=\npost=") + kDelta5);
  AddPlugin("target", "systemID=0x00050000\nlogLevel=50");
  AddPlugin("watcher", "systemID=0x00070000\nlogLevel=30\nacceptsWrite=1\nmask2=0xFFFFFFFF");
  StartCore();
  ASSERT_TRUE(WaitUntil([&] {
    return Configs("target").size() >= 4 && !Trace("watcher.dll Write ").empty();
  })) << child().Stdout();
  std::string out = StopCore();
  EXPECT_NE(out.find("successfully started core version 2.0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("stopping core version 2.0...\n"), std::string::npos) << out;

  // The empty document arrives without data; the rewrite shows the core's
  // new threshold (the level query) and the module's own default.
  EXPECT_EQ(Configs("target"), (Lines{"status 50/50 level=50", "empty", kDelta5, "status 25/50 level=25"}));
  EXPECT_EQ(Configs("watcher"), (Lines{"status 50/50 level=30", "empty", kDelta5, "status 25/50 level=30"}));
  // The provider never gets its own documents back.
  EXPECT_EQ(Configs("provider"), (Lines{"status 50/50 level=-1", "status 25/50 level=-1"}));
  EXPECT_EQ(Trace("provider.dll posted "), (Lines{"code=0", "code=0"}));
  // Only the published copy carries the product.
  const std::string published = Trace("target.dll config ").back();
  EXPECT_NE(published.find("<Module ID=\"-2147483648\" Name=\"Core\" Version=\"2.0\">"), std::string::npos);
  EXPECT_TRUE(published.ends_with("</Modules><Product Family=\"Orvane\" Version=\"2.0\" /></Vexo>"));
  for (const char* file : {"core.xml", "plugins.xml"}) {
    const std::string saved = ReadText(core_.dir / file);
    EXPECT_EQ(Levels(saved, "327680"), "25/50") << file;
    EXPECT_NE(saved.find("Name=\"Core\" Version=\"2.0\""), std::string::npos) << file;
    EXPECT_EQ(saved.find("<Product"), std::string::npos) << file;
  }
  EXPECT_FALSE(fs::exists(core_.dir / "core.xml.pending"));  // saved atomically
  // The memory state goes once at start to the plugin subscribed to its class.
  const Lines memory = Trace("watcher.dll Write ");
  const std::regex state("provider=0x80000000 type=0x4 subtype=0x1000010 request=0 level=-?[0-9]+ "
                         "reply=32/1 size=[0-9]+ text=<\\?xml \\?><Vexo><Memory ID=\"-2147483648\" Throttling=\"0\" "
                         "Time=\"(-?[0-9]+)\" /></Vexo>");
  std::smatch match;
  ASSERT_EQ(memory.size(), 1u);
  ASSERT_TRUE(std::regex_match(memory[0], match, state)) << memory[0];
  EXPECT_NEAR(std::stoll(match[1].str()), static_cast<long long>(std::time(nullptr)), 600);

  // Next run, with the throttling switch turned off in core.xml (and the
  // core's own level 0, so that the first tick's limit line shows): module 5
  // starts at 25; the repeated delta causes no rewrite, so the only rewrite
  // is the one after the delta for module 7.
  std::string core = ReadText(core_.dir / "core.xml");
  core.replace(core.find("Throttling=\"1\""), 14, "Throttling=\"0\"");
  core.replace(core.find("LogLevel=\"25\""), 13, "LogLevel=\"0\"");  // the core's Plugin comes first
  Write("core.xml", core);
  AddPlugin("provider", std::string("systemID=0x00060000\npost=") + kDelta5 + "\npost=" + kDelta7);
  StartCore();
  ASSERT_TRUE(child().WaitForOutput("memory limit set to ", std::chrono::seconds(30))) << child().Stdout();
  ASSERT_TRUE(WaitUntil([&] { return Configs("target").size() >= 4; })) << child().Stdout();
  StopCore();
  EXPECT_EQ(Configs("target"), (Lines{"status 25/50 level=25", kDelta5, kDelta7, "status 25/50 level=25"}));
  const std::string rewritten = Trace("target.dll config ").back();
  EXPECT_EQ(Levels(rewritten, "458752"), "60/30");
  EXPECT_NE(rewritten.find("<Memory ID=\"-2147483648\" Throttling=\"0\" />"), std::string::npos);
  EXPECT_EQ(Levels(ReadText(core_.dir / "core.xml"), "458752"), "60/30");
  EXPECT_TRUE(Trace("watcher.dll Write ").empty());  // the switch is off: no memory state
}

}  // namespace
