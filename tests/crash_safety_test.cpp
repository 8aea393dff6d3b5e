// Crash safety of the configuration store: what the next start makes of the
// files an interrupted save leaves behind, and a real saving process killed
// at random moments.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <set>
#include <thread>
#include <tuple>

#include "configstore/atomic_save.h"
#include "configstore/config_bringup.h"
#include "configstore/configstore_test_support.h"
#include "configstore/xml_document.h"
#include "platform/subprocess.h"

namespace {

using namespace configstore;
using namespace configstore::testing;
using Lines = LogCapture::Lines;
using std::chrono::seconds;

// The documents a save deals with: A on disk, B being saved over it, Z an
// older one still in a backup from an earlier interrupted save.
std::string DocumentText(const char* version) {
  TiXmlDocument document;
  auto* root = new TiXmlElement("Vexo");
  root->SetAttribute("Version", version);
  auto* memory = new TiXmlElement("Memory");
  memory->SetAttribute("Throttling", 1);
  root->LinkEndChild(memory);
  for (int i = 0; i < 200; ++i) {
    auto* plugin = new TiXmlElement("Plugin");
    plugin->SetAttribute("ID", i << 16);
    plugin->SetAttribute("Name", std::string("module-") + version + std::to_string(i));
    root->LinkEndChild(plugin);
  }
  document.LinkEndChild(root);
  return PrintXmlIndented(document);
}

// File contents by the names the tables use.  "part" is a pending file cut
// short; "bare" is well-formed but lacks the Throttling setting.
const std::map<std::string, std::string>& Contents() {
  static const std::map<std::string, std::string> contents = {
      {"A", DocumentText("A")}, {"B", DocumentText("B")}, {"Z", DocumentText("Z")},
      {"part", DocumentText("B").substr(0, 3000)}, {"empty", ""},
      {"broken", "<Vexo><Memory Throttling='1'/>"}, {"bare", "<Vexo />\n"}};
  return contents;
}

std::string NameOf(const std::string& text, bool pending) {
  for (const auto& [name, content] : Contents()) {
    if (content == text && !(pending && name == "empty")) return name;
  }
  // Any other pending file is one cut short, by a crash during its write.
  return pending && Contents().at("B").starts_with(text) ? "part" : "other";
}

// The three files of core.xml by content name; empty: absent.
struct Layout {
  std::string target, backup, pending;
  bool operator==(const Layout&) const = default;
  bool operator<(const Layout& other) const {
    return std::tie(target, backup, pending) < std::tie(other.target, other.backup, other.pending);
  }
};
std::ostream& operator<<(std::ostream& out, const Layout& layout) {
  return out << "{" << layout.target << ", " << layout.backup << ", " << layout.pending << "}";
}

void Lay(const TempDir& dir, const Layout& layout) {
  const std::string target = dir / kCoreConfigFile;
  if (!layout.target.empty()) WriteFile(target, Contents().at(layout.target));
  if (!layout.backup.empty()) WriteFile(BackupName(target), Contents().at(layout.backup));
  if (!layout.pending.empty()) WriteFile(PendingName(target), Contents().at(layout.pending));
}

Layout Found(const TempDir& dir) {
  const std::string target = dir / kCoreConfigFile;
  const auto name = [](const std::string& path, bool pending) {
    return fs::exists(path) ? NameOf(ReadFile(path), pending) : std::string();
  };
  return {name(target, false), name(BackupName(target), false), name(PendingName(target), true)};
}

// What the next start makes of the files: bring-up's text for core.xml and
// the lines it logs, then the document the start-up read loads (empty: none)
// and the files that remain.
struct NextStart {
  std::string text;
  Lines logged;
  std::string loads;
  Layout left;
};

NextStart StartOn(const TempDir& dir) {
  LogCapture log;
  NextStart start;
  start.text = CheckCoreConfiguration(dir.str(), log.Writer());
  start.logged = log.Take();
  TiXmlDocument document;
  if (LoadFileWithBackup(document, dir / kCoreConfigFile)) {
    start.loads = NameOf(PrintXmlIndented(document), false);
  }
  start.left = Found(dir);
  return start;
}

const Lines::value_type kPending{50, "core.xml.pending exists"};
const Lines::value_type kBackup{50, "core.xml.bak exists"};
const Lines::value_type kFirstRun{25, "Config core.xml does not exist, first run"};
const std::string kParseError = "Config core.xml (parse): 5 - Error reading Element value.";

struct Case {
  Layout crashed;
  NextStart expected;
};

// Every layout an interrupted save can leave, and what becomes of a core.xml
// that does not load beside a backup.
const std::vector<Case>& StateTable() {
  static const std::vector<Case> table = {
      // Interrupted first save: no target yet, a first run with defaults.
      {{"", "", ""}, {"", {kFirstRun}, "", {"", "", ""}}},
      {{"", "", "part"}, {"", {kPending, kFirstRun}, "", {"", "", "part"}}},
      {{"", "", "B"}, {"", {kPending, kFirstRun}, "", {"", "", "B"}}},
      // Interrupted while the pending file is written, or after it is.
      {{"A", "", ""}, {"", {}, "A", {"A", "", ""}}},
      {{"A", "", "part"}, {"", {kPending}, "A", {"A", "", "part"}}},
      {{"A", "", "B"}, {"", {kPending}, "A", {"A", "", "B"}}},
      {{"A", "Z", ""}, {"", {kBackup}, "A", {"A", "", ""}}},
      {{"A", "Z", "part"}, {"", {kPending, kBackup}, "A", {"A", "", "part"}}},
      {{"A", "Z", "B"}, {"", {kPending, kBackup}, "A", {"A", "", "B"}}},
      // Target moved away, pending not yet in place: the backup comes back.
      {{"", "A", "B"}, {"", {kPending, kBackup, kFirstRun}, "A", {"A", "", "B"}}},
      {{"", "A", ""}, {"", {kBackup, kFirstRun}, "A", {"A", "", ""}}},
      // New target in place, backup not yet deleted; a completed save.
      {{"B", "A", ""}, {"", {kBackup}, "B", {"B", "", ""}}},
      {{"B", "", ""}, {"", {}, "B", {"B", "", ""}}},
      // A target that does not load falls back to a loadable backup.
      {{"empty", "A", ""},
       {"core.xml.bak exists\nConfig core.xml: zero bytes", {kBackup}, "A", {"A", "", ""}}},
      {{"broken", "A", "B"},
       {"core.xml.pending exists\ncore.xml.bak exists\n" + kParseError, {kPending, kBackup}, "A",
        {"A", "", "B"}}},
      {{"bare", "A", ""},
       {"core.xml.bak exists\nFailed to validate core.xml", {kBackup}, "bare", {"bare", "", ""}}},
      {{"broken", "", ""}, {kParseError, {}, "", {"broken", "", ""}}},
      {{"broken", "empty", ""},
       {"core.xml.bak exists\n" + kParseError, {kBackup}, "", {"broken", "empty", ""}}},
  };
  return table;
}

void ExpectOutcome(const TempDir& dir, const Case& row) {
  const NextStart start = StartOn(dir);
  EXPECT_EQ(row.expected.text, start.text);
  EXPECT_EQ(row.expected.logged, start.logged);
  EXPECT_EQ(row.expected.loads, start.loads);
  EXPECT_EQ(row.expected.left, start.left);
}

TEST(InterruptedSaveTest, NextStartFollowsTheStateTable) {
  for (const Case& row : StateTable()) {
    SCOPED_TRACE(::testing::PrintToString(row.crashed));
    TempDir dir;
    Lay(dir, row.crashed);
    ASSERT_EQ(row.crashed, Found(dir));
    ExpectOutcome(dir, row);
  }
}

// Freezes the disk after a number of changing calls, as a crash there would:
// from then on no call changes a file.  With `tear`, a write at the crash
// point first writes half of its bytes.
class CrashingFiles : public platform::FileOpsWrapper {
 public:
  CrashingFiles(int changesBeforeCrash, bool tear)
      : FileOpsWrapper(platform::DefaultFileOps()), left_(changesBeforeCrash), tear_(tear) {}
  bool crashed() const { return left_ < 0; }

  int OpenExclusive(const std::string& path, int* fd, bool* lockBusy) override {
    return Crashes() ? EIO : FileOpsWrapper::OpenExclusive(path, fd, lockBusy);
  }
  int Write(int fd, const void* data, size_t size, size_t* written) override {
    if (!Crashes()) return FileOpsWrapper::Write(fd, data, size, written);
    if (tear_ && left_ == -1) FileOpsWrapper::Write(fd, data, size / 2, written);
    *written = 0;
    return EIO;
  }
  int Sync(int fd) override { return crashed() ? EIO : FileOpsWrapper::Sync(fd); }
  int Unlink(const std::string& path) override {
    return Crashes() ? EIO : FileOpsWrapper::Unlink(path);
  }
  int Rename(const std::string& from, const std::string& to) override {
    return Crashes() ? EIO : FileOpsWrapper::Rename(from, to);
  }
  int SyncDirectory(const std::string& path) override {
    return crashed() ? EIO : FileOpsWrapper::SyncDirectory(path);
  }

 private:
  bool Crashes() { return --left_ < 0; }
  int left_;
  bool tear_;
};

TEST(InterruptedSaveTest, EveryCrashPointLeavesAStateOfTheTable) {
  std::map<Layout, const Case*> table;
  for (const Case& row : StateTable()) table[row.crashed] = &row;
  TiXmlDocument next;
  ASSERT_TRUE(ParseXml(next, Contents().at("B")));

  std::set<Layout> seen;
  for (const Layout& before : {Layout{}, Layout{"A", "", ""}, Layout{"A", "Z", ""},
                              Layout{"A", "", "part"}}) {
    for (int changes = 0;; ++changes) {
      bool completed = false;
      for (const bool tear : {false, true}) {
        SCOPED_TRACE(::testing::PrintToString(before) + " crash after " +
                     std::to_string(changes) + (tear ? ", torn write" : ""));
        TempDir dir;
        Lay(dir, before);
        CrashingFiles files(changes, tear);
        SaveFileAtomic(next, dir / kCoreConfigFile, files);
        completed = !files.crashed();
        const Layout crashed = Found(dir);
        seen.insert(crashed);
        const auto row = table.find(crashed);
        ASSERT_NE(row, table.end()) << crashed << " is not a state of the table";
        // Only the old or the new document may ever come back.
        const std::string& loads = row->second->expected.loads;
        EXPECT_TRUE(loads == before.target || loads == "B") << loads;
        ExpectOutcome(dir, *row->second);
      }
      if (completed) break;
    }
  }
  // Each step of the swap was hit: target moved away, new target beside the
  // backup, and the torn pending file.
  EXPECT_TRUE(seen.count({"", "A", "B"}) && seen.count({"B", "A", ""}) &&
              seen.count({"A", "", "part"}));
}

// A real process saving A and B in turn, killed with SIGKILL at random
// moments: after each kill the next start finds core.xml usable (or missing)
// and loads exactly A or B, and the target then holds that document whole.
// On a slow machine (or a sanitizer build) fewer kills fit into the time the
// test allows itself; each one is checked all the same.
TEST(KilledSaveLoopTest, EveryKillLeavesOneOfTheTwoDocuments) {
  constexpr int kKills = 200;
  const auto until = std::chrono::steady_clock::now() + seconds(12);
  TempDir dir;
  const std::string target = dir / kCoreConfigFile;
  const std::string names[2] = {dir / "a.xml", dir / "b.xml"};
  const std::string texts[2] = {Contents().at("A"), Contents().at("B")};
  WriteFile(names[0], texts[0]);
  WriteFile(names[1], texts[1]);
  WriteFile(target, texts[0]);

  const unsigned seed = static_cast<unsigned>(::testing::UnitTest::GetInstance()->random_seed());
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delayUs(0, 20000);
  int onDisk = 0;
  int loaded[2] = {0, 0};
  std::map<std::string, int> leftovers;
  int kill = 0;
  for (; kill < kKills && (kill < 2 || std::chrono::steady_clock::now() < until); ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill) + ", seed " + std::to_string(seed));
    // Start with the document that is not on disk, so that even an early
    // kill interrupts a save that changes something.
    auto child = std::make_unique<platform::ChildProcess>();
    ASSERT_TRUE(child->Start(SAVE_LOOP_EXECUTABLE,
                             {SAVE_LOOP_EXECUTABLE, target, names[1 - onDisk], names[onDisk]}));
    ASSERT_TRUE(child->WaitForOutput("saving\n", seconds(30))) << child->Stderr();
    std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
    child->Signal(SIGKILL);
    ASSERT_EQ(128 + SIGKILL, child->Wait(seconds(30))) << child->Stderr();

    const Layout crashed = Found(dir);
    ++leftovers[std::string(crashed.target.empty() ? "no target" : "target") +
                (crashed.backup.empty() ? "" : " + bak") +
                (crashed.pending.empty() ? "" : " + pending")];
    LogCapture log;
    ASSERT_EQ("", CheckCoreConfiguration(dir.str(), log.Writer()));
    TiXmlDocument document;
    ASSERT_TRUE(LoadFileWithBackup(document, target)) << crashed;
    const std::string text = PrintXmlIndented(document);
    ASSERT_TRUE(text == texts[0] || text == texts[1]) << crashed;
    onDisk = text == texts[0] ? 0 : 1;
    ++loaded[onDisk];
    ASSERT_EQ(texts[onDisk], ReadFile(target));
  }
  EXPECT_GT(loaded[0], 0);
  EXPECT_GT(loaded[1], 0);
  std::printf("%d kills\n", kill);
  for (const auto& [layout, count] : leftovers) {
    std::printf("killed with %s: %d\n", layout.c_str(), count);
  }
}

}  // namespace
