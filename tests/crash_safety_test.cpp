// Crash safety of the configuration store: what the next start makes of the
// files an interrupted save leaves behind (real saving processes killed at
// random moments: save_race_test).
#include <gtest/gtest.h>

#include <array>
#include <map>
#include <set>

#include "configstore/atomic_save.h"
#include "configstore/config_bringup.h"
#include "configstore/configstore_test_support.h"
#include "configstore/xml_document.h"

namespace {

using namespace configstore;
using namespace configstore::testing;
using ::testing::PrintToString;

// The documents a save deals with: A on disk, B being saved over it, Z an
// older one still in a backup from an earlier interrupted save.  They are
// large enough for a write to be torn.
std::string DocumentText(const std::string& version) {
  std::string text = "<Vexo Version='" + version + "'><Memory Throttling='1'/>";
  for (int i = 0; i < 200; ++i) {
    text += "<Plugin ID='" + std::to_string(i << 16) + "' Name='module-" + version +
            std::to_string(i) + "'/>";
  }
  TiXmlDocument document;
  ParseXml(document, text + "</Vexo>");
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

// Content names of core.xml, core.xml.bak and core.xml.pending; empty: absent.
using Layout = std::array<std::string, 3>;
const char* const kSuffixes[3] = {"", ".bak", ".pending"};

void Lay(const TempDir& dir, const Layout& layout) {
  for (int i = 0; i < 3; ++i) {
    if (layout[i].empty()) continue;
    WriteFile(dir / kCoreConfigFile + kSuffixes[i], Contents().at(layout[i]));
  }
}

Layout Found(const TempDir& dir) {
  Layout found;
  for (int i = 0; i < 3; ++i) {
    const std::string path = dir / kCoreConfigFile + kSuffixes[i];
    if (fs::exists(path)) found[i] = NameOf(ReadFile(path), i == 2);
  }
  return found;
}

// A layout an interrupted save can leave and what the next start makes of
// it: bring-up's text for core.xml and the lines it logs, and the document
// the start-up read loads (empty: none).  That read moves a loaded backup to
// the target's name and deletes a backup beside a loaded target; the pending
// file stays, and when nothing loads nothing moves.
struct Case {
  Layout crashed;
  std::string text;
  Lines logged;
  std::string loads;
};

const Lines::value_type kPending{50, "core.xml.pending exists"};
const Lines::value_type kBackup{50, "core.xml.bak exists"};
const Lines::value_type kFirstRun{25, "Config core.xml does not exist, first run"};
const std::string kParseError = "Config core.xml (parse): 5 - Error reading Element value.";

const std::vector<Case>& StateTable() {
  static const std::vector<Case> table = {
      // Interrupted first save: no target yet, a first run with defaults.
      {{"", "", ""}, "", {kFirstRun}, ""},
      {{"", "", "part"}, "", {kPending, kFirstRun}, ""},
      {{"", "", "B"}, "", {kPending, kFirstRun}, ""},
      // Interrupted while the pending file is written, or after it is.
      {{"A", "", ""}, "", {}, "A"},
      {{"A", "", "part"}, "", {kPending}, "A"},
      {{"A", "", "B"}, "", {kPending}, "A"},
      {{"A", "Z", ""}, "", {kBackup}, "A"},
      {{"A", "Z", "part"}, "", {kPending, kBackup}, "A"},
      {{"A", "Z", "B"}, "", {kPending, kBackup}, "A"},
      // Target moved away, pending not yet in place: the backup comes back.
      {{"", "A", "B"}, "", {kPending, kBackup, kFirstRun}, "A"},
      {{"", "A", ""}, "", {kBackup, kFirstRun}, "A"},
      // New target in place, backup not yet deleted; a completed save.
      {{"B", "A", ""}, "", {kBackup}, "B"},
      {{"B", "", ""}, "", {}, "B"},
      // A target that does not load falls back to a loadable backup.
      {{"empty", "A", ""}, "core.xml.bak exists\nConfig core.xml: zero bytes", {kBackup}, "A"},
      {{"broken", "A", "B"}, "core.xml.pending exists\ncore.xml.bak exists\n" + kParseError,
       {kPending, kBackup}, "A"},
      {{"bare", "A", ""}, "core.xml.bak exists\nFailed to validate core.xml", {kBackup}, "bare"},
      {{"broken", "", ""}, kParseError, {}, ""},
      {{"broken", "empty", ""}, "core.xml.bak exists\n" + kParseError, {kBackup}, ""},
  };
  return table;
}

void ExpectNextStart(const TempDir& dir, const Case& row) {
  EXPECT_EQ(row.text, CheckCoreConfiguration(dir.str(), &RecordLog));
  EXPECT_EQ(row.logged, TakeLog());
  TiXmlDocument document;
  const bool loaded = LoadFileWithBackup(document, dir / kCoreConfigFile);
  EXPECT_EQ(row.loads, loaded ? NameOf(PrintXmlIndented(document), false) : "");
  const Layout left = loaded ? Layout{row.loads, "", row.crashed[2]} : row.crashed;
  EXPECT_EQ(left, Found(dir));
}

TEST(InterruptedSaveTest, NextStartFollowsTheStateTable) {
  for (const Case& row : StateTable()) {
    SCOPED_TRACE(PrintToString(row.crashed));
    TempDir dir;
    Lay(dir, row.crashed);
    ExpectNextStart(dir, row);
  }
}

// A save of B frozen after each of its changing file calls in turn, with the
// write at that point whole or torn: only states of the table remain, and
// only the old document or B ever comes back.
TEST(InterruptedSaveTest, EveryCrashPointLeavesAStateOfTheTable) {
  std::map<Layout, const Case*> table;
  for (const Case& row : StateTable()) table[row.crashed] = &row;
  TiXmlDocument next;
  ASSERT_TRUE(ParseXml(next, Contents().at("B")));
  std::set<Layout> seen;
  for (const Layout& before : {Layout{}, Layout{"A", "", ""}, Layout{"A", "Z", ""},
                               Layout{"A", "", "part"}}) {
    for (int changes = 0, completed = 0; !completed; ++changes) {
      for (const bool tear : {false, true}) {
        SCOPED_TRACE(PrintToString(before) + " crash after " + std::to_string(changes) +
                     (tear ? ", torn write" : ""));
        TempDir dir;
        Lay(dir, before);
        TestFiles files;
        files.crashAfter = changes;
        files.tear = tear;
        SaveFileAtomic(next, dir / kCoreConfigFile, files);
        completed = !files.Crashed();
        const Layout crashed = Found(dir);
        seen.insert(crashed);
        const auto row = table.find(crashed);
        ASSERT_NE(row, table.end()) << PrintToString(crashed) << " is not a state of the table";
        EXPECT_TRUE(row->second->loads == before[0] || row->second->loads == "B");
        ExpectNextStart(dir, *row->second);
      }
    }
  }
  // Each step of the swap was hit: target moved away, new target beside the
  // backup, and the torn pending file.
  EXPECT_TRUE(seen.count({"", "A", "B"}) && seen.count({"B", "A", ""}) &&
              seen.count({"A", "", "part"}));
}

}  // namespace
