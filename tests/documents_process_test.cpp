// Process-level tests of the documents: the real core with copies of the
// configuration probe plugin, which records the documents it receives and
// writes configuration documents of its own.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/subprocess.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

constexpr char kDelta5[] =
    "<Vexo Delta=\"1\"><Modules><Module><Plugin ID=\"327680\" LogLevel=\"25\"/></Module></Modules></Vexo>";
constexpr char kDelta7[] =
    "<Vexo Delta=\"1\"><Modules><Module><Plugin ID=\"458752\" LogLevel=\"60\"/></Module></Modules></Vexo>";

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// "current/default" of the module status document's Plugin with `id`, or "-".
std::string Levels(const std::string& document, const std::string& id) {
  const std::regex plugin("<Plugin ID=\"" + id +
                          "\"[^>]* LogLevel=\"(-?[0-9]+)\" LogLevelDefault=\"(-?[0-9]+)\"");
  std::smatch match;
  if (!std::regex_search(document, match, plugin)) return "-";
  return match[1].str() + "/" + match[2].str();
}

class DocumentsProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = fs::temp_directory_path() /
                 ("core-documents-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                  "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(directory_);
    fs::create_directories(directory_ / "plugins");
    fs::copy_file(CORE_EXECUTABLE, directory_ / "core");
    Write("core.xml", "<Vexo Delta=\"0\"><Memory Throttling=\"1\"/></Vexo>");
    Write("useraccounts.xml", "<UserAccounts/>");
  }
  void TearDown() override { fs::remove_all(directory_); }

  void Write(const std::string& name, const std::string& text) {
    std::ofstream(directory_ / name, std::ios::trunc) << text;
  }

  // Installs a copy of the probe as plugins/NAME.dll with its settings.
  void AddProbe(const std::string& name, const std::string& settings) {
    const fs::path library = directory_ / "plugins" / (name + ".dll");
    fs::copy_file(PROBE_PLUGIN, library, fs::copy_options::overwrite_existing);
    std::ofstream(library.string() + ".cfg", std::ios::trunc)
        << settings << "trace=" << (directory_ / "trace.txt").string() << "\n";
  }

  // Recorded calls of `plugin` of one kind ("config", "write", "posted"):
  // the rest of each line.
  std::vector<std::string> Calls(const std::string& plugin, const std::string& kind) {
    std::vector<std::string> calls;
    std::istringstream lines(ReadText(directory_ / "trace.txt"));
    const std::string prefix = plugin + ".dll " + kind + " ";
    for (std::string line; std::getline(lines, line);)
      if (line.rfind(prefix, 0) == 0) calls.push_back(line.substr(prefix.size()));
    return calls;
  }

  // The configuration calls of `plugin`, each summarised as the document's
  // kind and, for status documents, the levels of `id` and the plugin's own
  // threshold as the core answered it.
  std::vector<std::string> Configs(const std::string& plugin, const std::string& id) {
    std::vector<std::string> summary;
    for (const std::string& call : Calls(plugin, "config")) {
      const size_t text = call.find(" text=");
      const std::string document = call.substr(text + 6);
      if (call.rfind("size=0 data=0 ", 0) == 0 && document.empty()) {
        summary.push_back("empty");
      } else if (document.find("Delta=\"1\"") != std::string::npos) {
        summary.push_back(document);
      } else {
        const size_t level = call.find(" level=");
        summary.push_back("status " + Levels(document, id) + " " +
                          call.substr(level + 1, text - level - 1));
      }
    }
    return summary;
  }

  bool WaitUntil(const std::function<bool()>& condition) {
    for (int i = 0; i < 600; ++i) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  void StartCore() {
    fs::remove(directory_ / "trace.txt");
    const std::string core = (directory_ / "core").string();
    child_ = std::make_unique<platform::ChildProcess>();  // one object per run
    ASSERT_TRUE(child_->Start(core, {core}, directory_.string()));
  }

  // Stops the core with SIGINT and returns its standard output.
  std::string StopCore() {
    child_->Signal(SIGINT);
    EXPECT_EQ(child_->Wait(seconds(60)), 0);
    return child_->Stdout();
  }

  fs::path directory_;
  std::unique_ptr<platform::ChildProcess> child_;
};

// A plugin lowers module 5 from 50 to 25: everyone else sees the delta, the
// core applies it, rewrites and republishes the status document, and the next
// run starts with 25.  The same delta in the next run changes nothing.
TEST_F(DocumentsProcessTest, DeltaReachesOtherPluginsAndPersists) {
  Write("product.xml", "<Vexo><Product Version=\"2.0\"/></Vexo>");
  AddProbe("provider", std::string("systemID=0x00060000\npost=\npost=") + kDelta5 + "\n");
  AddProbe("target", "systemID=0x00050000\nlogLevel=50\n");
  AddProbe("watcher", "systemID=0x00070000\nlogLevel=30\n");

  StartCore();
  ASSERT_TRUE(WaitUntil([&] { return Configs("target", "327680").size() >= 4; }))
      << child_->Stdout();
  std::string out = StopCore();
  EXPECT_NE(out.find("successfully started core version 2.0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("stopping core version 2.0...\n"), std::string::npos) << out;

  // The empty document arrives without data; the rewrite shows the core's
  // new threshold (the level query) and the module's own default.
  const std::vector<std::string> expected = {"status 50/50 level=50", "empty", kDelta5,
                                             "status 25/50 level=25"};
  EXPECT_EQ(Configs("target", "327680"), expected);
  EXPECT_EQ(Configs("watcher", "327680"),
            (std::vector<std::string>{"status 50/50 level=30", "empty", kDelta5,
                                      "status 25/50 level=30"}));
  // The provider never gets its own documents back.
  EXPECT_EQ(Configs("provider", "327680"),
            (std::vector<std::string>{"status 50/50 level=-1", "status 25/50 level=-1"}));
  EXPECT_EQ(Calls("provider", "posted"), (std::vector<std::string>{"code=0", "code=0"}));

  // Only the published copy carries the product.
  const std::string published = Calls("target", "config").back();
  EXPECT_NE(published.find("<Module ID=\"-2147483648\" Name=\"Core\" Version=\"2.0\">"), std::string::npos);
  EXPECT_TRUE(published.ends_with("</Modules><Product Family=\"Orvane\" Version=\"2.0\" /></Vexo>"))
      << published;
  for (const char* file : {"core.xml", "plugins.xml"}) {
    const std::string saved = ReadText(directory_ / file);
    EXPECT_EQ(Levels(saved, "327680"), "25/50") << file;
    EXPECT_NE(saved.find("Name=\"Core\" Version=\"2.0\""), std::string::npos) << file;
    EXPECT_EQ(saved.find("<Product"), std::string::npos) << file;
  }

  // Next run: module 5 starts at 25; the repeated delta causes no rewrite,
  // so the only rewrite is the one after the delta for module 7.
  AddProbe("provider", std::string("systemID=0x00060000\npost=") + kDelta5 + "\npost=" + kDelta7 + "\n");
  StartCore();
  ASSERT_TRUE(WaitUntil([&] { return Configs("target", "327680").size() >= 4; }))
      << child_->Stdout();
  StopCore();
  EXPECT_EQ(Configs("target", "327680"),
            (std::vector<std::string>{"status 25/50 level=25", kDelta5, kDelta7,
                                      "status 25/50 level=25"}));
  EXPECT_EQ(Levels(Calls("target", "config").back(), "458752"), "60/30");
  EXPECT_EQ(Levels(ReadText(directory_ / "core.xml"), "458752"), "60/30");
}

// The memory state document goes once at start to a plugin subscribed to its
// class, unless core.xml turns the throttling switch off.
TEST_F(DocumentsProcessTest, MemoryStateAtStartFollowsTheSwitch) {
  AddProbe("watcher", "systemID=0x00070000\nmask2=0xFFFFFFFF\n");
  for (const bool on : {true, false}) {
    SCOPED_TRACE(on ? "switch on" : "switch off");
    // Level 0 of the core passes, so the first tick's limit line shows.
    Write("core.xml", std::string("<Vexo Delta=\"0\"><Memory Throttling=\"") + (on ? "1" : "0") +
                          "\"/><Modules><Module><Plugin ID=\"-2147483648\" LogLevel=\"0\"/>"
                          "</Module></Modules></Vexo>");
    StartCore();
    ASSERT_TRUE(child_->WaitForOutput("memory limit set to ", seconds(30))) << child_->Stdout();
    if (on) {
      ASSERT_TRUE(WaitUntil([&] { return !Calls("watcher", "write").empty(); }));
    } else {
      // Nothing comes; give a wrongly published document time to arrive.
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    StopCore();

    const std::vector<std::string> writes = Calls("watcher", "write");
    ASSERT_EQ(writes.size(), on ? 1u : 0u);
    if (on) {
      const std::regex state(
          "type=0x4 subtype=0x1000010 provider=0x80000000 text=<\\?xml \\?><Vexo><Memory "
          "ID=\"-2147483648\" Throttling=\"0\" Time=\"(-?[0-9]+)\" /></Vexo>");
      std::smatch match;
      ASSERT_TRUE(std::regex_match(writes[0], match, state)) << writes[0];
      EXPECT_NEAR(std::stoll(match[1].str()), static_cast<long long>(std::time(nullptr)), 600);
    }
    EXPECT_NE(ReadText(directory_ / "core.xml").find(std::string("<Memory ID=\"-2147483648\" Throttling=\"") +
                                                   (on ? "1" : "0") + "\" />"),
              std::string::npos);
  }
}

}  // namespace
