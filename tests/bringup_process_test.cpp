// Configuration bring-up of the real core executable, copied into a
// temporary core directory with the logging plugin, whose file
// logs/core.log (in the working directory) shows every line with its level.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>

#include "configstore/configstore_test_support.h"
#include "platform/special_files.h"
#include "platform/subprocess.h"

namespace {

using namespace configstore::testing;
using Files = std::vector<std::pair<std::string, std::string>>;
using std::chrono::seconds;

constexpr char kValidCore[] = "<Vexo Delta=\"0\"><Memory Throttling=\"0\"/></Vexo>";
constexpr char kStarted[] = "successfully started core version";
constexpr char kPausing[] = "Config issue detected, pausing core for 10 seconds...";
const std::string kTooDeep = "Config core.xml (parse): 17 - Elements nested too deeply (exceeds "
                             "the configured maximum parse depth).";
const std::string kDeep = [] {
  std::string text;
  for (int i = 0; i < 100000; ++i) text += "<e>";
  return text;
}();

// A line of the logging plugin's file, without its time stamp.
std::string Logged(int level, const std::string& text) {
  char head[32];
  std::snprintf(head, sizeof head, "80000000 %3d ", level);
  return head + text + "\n";
}

// Position of `needle` in `haystack`, failing the test when it is missing.
size_t Find(const std::string& haystack, const std::string& needle) {
  const size_t at = haystack.find(needle);
  EXPECT_NE(std::string::npos, at) << "missing: " << needle << "\nin:\n" << haystack;
  return at;
}

class BringUpProcessTest : public ::testing::Test {
 protected:
  // A copy of the core and the logging plugin in `name` below the root,
  // holding `files`; returns its real path.
  std::string Install(const std::string& name, const Files& files = {}) {
    const std::string directory = root_ / name;
    fs::create_directories(directory + "/plugins");
    fs::copy_file(CORE_EXECUTABLE, directory + "/core");
    fs::copy_file(LOG_PLUGIN, directory + "/plugins/ZovUR.dll");
    for (const auto& [file, content] : files) WriteFile(directory + "/" + file, content);
    return fs::canonical(directory).string();
  }
  // Starts the core installed in `core` from `start`, waits for `line`, stops
  // it with SIGINT and returns its standard output.
  static std::string RunUntil(const std::string& core, const std::string& start, const char* line) {
    platform::ChildProcess child;
    EXPECT_TRUE(child.Start(core + "/core", {core + "/core"}, start));
    EXPECT_TRUE(child.WaitForOutput(line, seconds(60))) << child.Stdout();
    child.Signal(SIGINT);
    EXPECT_EQ(0, child.Wait(seconds(60))) << child.Stdout() << child.Stderr();
    return child.Stdout();
  }

  TempDir root_;
};

// Starts that go ahead, each stopped with SIGINT: bring-up's lines in order
// and the start directory.  Started from another directory, the documents
// are read there though the core moves to its own directory (whose empty
// documents would stop it) and backs that up; a start directory named "core"
// stays the working directory.  Odd entries among the documents (a FIFO, a
// socket and a directory named like documents, and side files that link to
// a file outside) neither block the start nor reach outside: each fails its
// copy in both backups with its line, on the console only for the copy on
// the way down, when the logging plugin has gone.
TEST_F(BringUpProcessTest, OneUsableDocumentIsEnoughToStart) {
  const Files usable = {{"core.xml", kValidCore}, {"useraccounts.xml", "<Users/>"}};
  const struct {
    std::string startIn;  // below the root; empty: the core directory
    Files files;          // in the start directory
    std::vector<std::string> lines;
    bool odd = false;     // with the odd entries
  } cases[] = {
      {"", {}, {Logged(25, "Config core.xml does not exist, first run"),
                Logged(100, "useraccounts.xml: No such file or directory")}},
      {"",
       {{"core.xml", kValidCore}, {"core.xml.pending", "<Vexo Delta=\"0\"><Mem"},
        {"core.xml.bak", "<Vexo Delta=\"0\"><Memory Throttling=\"1\"/></Vexo>"},
        {"useraccounts.xml", "<Users/>"}},
       {Logged(50, "core.xml.pending exists"), Logged(50, "core.xml.bak exists")}},
      {"", {{"core.xml", kDeep}, {"useraccounts.xml", "<Users/>"}}, {Logged(100, kTooDeep)}},
      {"core", usable, {}},
      {"elsewhere", usable, {}},
      {"", usable, {Logged(50, "core.xml.pending exists"), Logged(50, "Config: found core.xml.pending")}, true},
  };
  const std::string outside = root_ / "precious";
  WriteFile(outside, "precious");
  const struct { const char* name; const char* error; } odd[] = {
      {"notes.xml", "22: Invalid argument"}, {"socket.xml", "6: No such device or address"},
      {"x.xml", "21: Is a directory"}};
  for (const auto& row : cases) {
    const std::string name = std::to_string(&row - cases);
    SCOPED_TRACE(name);
    const std::string core = Install(name);
    std::string start = core;
    if (!row.startIn.empty()) {
      fs::create_directory(root_ / row.startIn);
      start = fs::canonical(root_ / row.startIn).string();
      WriteFile(core + "/core.xml", "");
      WriteFile(core + "/useraccounts.xml", "");
    }
    for (const auto& [file, content] : row.files) WriteFile(start + "/" + file, content);
    if (row.odd) {
      ASSERT_EQ(0, platform::MakeFifo(start + "/notes.xml"));
      ASSERT_EQ(0, platform::MakeSocketEntry(start + "/socket.xml"));
      fs::create_directory(start + "/x.xml");
      fs::create_symlink(outside, start + "/core.xml.pending");
      fs::create_symlink(outside, start + "/core.xml.bak");
    }
    const bool moved = row.startIn == "elsewhere";
    const std::string work = moved ? core : start;
    const std::string out = RunUntil(core, start, kStarted);
    const std::string log = ReadFile(work + "/logs/core.log");
    size_t at = 0;
    for (const std::string& line : row.lines) {
      const size_t next = Find(log, line);
      EXPECT_LE(at, next) << line;
      at = next;
    }
    Find(log, Logged(25, "Current directory: " + start));
    const std::string mismatch = "Current directory does not match core directory " + core;
    EXPECT_EQ(moved, log.find(Logged(50, mismatch)) != std::string::npos) << log;
    EXPECT_EQ(std::string::npos, log.find("zero bytes")) << log;
    // The working directory's documents are backed up into the core directory.
    for (const char* backup : {"/configbackupUP/", "/configbackupDN/"}) {
      EXPECT_EQ(ReadFile(work + "/useraccounts.xml"), ReadFile(core + backup + "useraccounts.xml"));
      for (const auto& entry : odd) {
        if (!row.odd) break;
        const std::string line = "Failed to copy " + work + "/" + entry.name + " to " + core + backup +
                                 entry.name + ", " + entry.error;
        if (std::string(backup).ends_with("UP/")) Find(log, Logged(75, line));
        Find(out, line + "\n");
      }
    }
    EXPECT_EQ("precious", ReadFile(outside));
    // The settings came from a valid core.xml, not from its backup; the status
    // document then replaced core.xml and its side files.
    if (!moved && !row.files.empty() && row.files[0].second == kValidCore) {
      EXPECT_NE(std::string::npos, ReadFile(work + "/core.xml").find("Throttling=\"0\""));
    }
    EXPECT_FALSE(fs::exists(work + "/core.xml.bak") || fs::exists(work + "/core.xml.pending"));
  }
}

// Both documents unusable: the joined text goes to the logging plugin alone,
// nothing of the start is logged, no backup is made, and a SIGINT during the
// pause ends the core with code 0.
TEST_F(BringUpProcessTest, SigintDuringTheConfigurationPauseExitsZero) {
  const std::string core = Install("install", {{"core.xml", ""}, {"useraccounts.xml", ""}});
  const std::string out = RunUntil(core, core, kPausing);
  EXPECT_EQ(Logged(100, "useraccounts.xml: zero bytes\n    Config core.xml: zero bytes"),
            ReadFile(core + "/logs/core.log").substr(24));
  EXPECT_EQ(std::string::npos, out.find("Current directory")) << out;
  EXPECT_FALSE(fs::exists(core + "/configbackupUP"));
  EXPECT_FALSE(fs::exists(core + "/configbackupDN"));
}

// Sits out the whole 10-second pause, with an empty and with a too deeply
// nested core.xml side by side; registered with the label "slow".
using BringUpSlowTest = BringUpProcessTest;

TEST_F(BringUpSlowTest, BothDocumentsUnusableExitTwoAfterThePause) {
  const std::string texts[2][2] = {{"", "Config core.xml: zero bytes"}, {kDeep, kTooDeep}};
  platform::ChildProcess children[2];
  std::string cores[2];
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 2; ++i) {
    cores[i] = Install(std::to_string(i), {{"core.xml", texts[i][0]}, {"useraccounts.xml", ""}});
    ASSERT_TRUE(children[i].Start(cores[i] + "/core", {cores[i] + "/core"}, cores[i]));
  }
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(2, children[i].Wait(seconds(120))) << children[i].Stdout() << children[i].Stderr();
    Find(children[i].Stdout(), kPausing);
    EXPECT_EQ(std::string::npos, children[i].Stdout().find(kStarted));
    Find(ReadFile(cores[i] + "/logs/core.log"), "zero bytes\n    " + texts[i][1] + "\n");
  }
  EXPECT_GE(std::chrono::steady_clock::now() - started, seconds(9));
}

}  // namespace
