// Overlapping saves of one target, by two processes and two threads while a
// reader polls it, and saving processes killed at random, alone or
// overlapping: the target is never seen empty or torn, every reported
// success is checked against the file, and after any kill the target or its
// backup loads.
//
// With CORE_SOAK set (`make soak`) the counts are the long ones: 10,000
// saves in all and 1,000 kills.  The figures are printed either way.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <random>
#include <sstream>
#include <thread>

#include "configstore/atomic_save.h"
#include "configstore/config_bringup.h"
#include "configstore/configstore_test_support.h"
#include "configstore/xml_document.h"
#include "platform/subprocess.h"
#include "save_race.h"

namespace {

using namespace configstore::testing;
using std::chrono::seconds;

bool Soak() { return std::getenv("CORE_SOAK") != nullptr; }

// "own N overtaken N refused N wrong N" as save_loop prints it.
saverace::Tally ParseTally(const std::string& line) {
  saverace::Tally tally;
  std::istringstream in(line);
  std::string word;
  in >> word >> tally.own >> word >> tally.overtaken >> word >> tally.refused >> word >>
      tally.wrong;
  if (tally.wrong != 0 || in.fail()) tally.Wrong(line);
  return tally;
}

TEST(OverlappingSavesTest, TwoProcessesAndTwoThreadsLoseNothing) {
  const long perSaver = Soak() ? 2500 : 50;
  TempDir dir;
  const std::string target = dir / configstore::kCoreConfigFile;
  std::atomic<bool> stop{false};
  saverace::Reads reads;
  std::thread reader([&] { reads = saverace::PollTarget(target, stop); });

  platform::ChildProcess processes[2];
  for (int i = 0; i < 2; ++i) {
    const std::string name = "process" + std::to_string(i);
    ASSERT_TRUE(processes[i].Start(SAVE_LOOP_EXECUTABLE, {SAVE_LOOP_EXECUTABLE, "--race", target,
                                                          name, std::to_string(perSaver)}));
  }
  saverace::Tally threadTallies[2];
  std::thread savers[2];
  for (int i = 0; i < 2; ++i) {
    savers[i] = std::thread([&, i] {
      threadTallies[i] = saverace::SaveRepeatedly(target, "thread" + std::to_string(i), perSaver);
    });
  }
  for (std::thread& saver : savers) saver.join();
  saverace::Tally tally = threadTallies[0];
  tally += threadTallies[1];
  for (platform::ChildProcess& process : processes) {
    EXPECT_EQ(0, process.Wait(seconds(600))) << process.Stdout() << process.Stderr();
    tally += ParseTally(process.Stdout());
  }
  stop = true;
  reader.join();

  std::printf("saves %ld: own %ld, overtaken %ld, refused %ld, wrong %ld; reads %ld: good %ld,"
              " missing %ld, empty %ld, unparsable %ld\n",
              4 * perSaver, tally.own, tally.overtaken, tally.refused, tally.wrong,
              reads.good + reads.missing + reads.empty + reads.unparsable, reads.good,
              reads.missing, reads.empty, reads.unparsable);
  EXPECT_EQ(0, tally.wrong) << tally.firstWrong;
  EXPECT_EQ(4 * perSaver, tally.own + tally.overtaken + tally.refused);
  EXPECT_GT(tally.own, 0);
  EXPECT_EQ(0, reads.empty);
  EXPECT_EQ(0, reads.unparsable);
  EXPECT_GT(reads.good, 0);
  TiXmlDocument document;
  EXPECT_TRUE(configstore::LoadFileWithBackup(document, target));
}

// Savers of documents A and B killed with SIGKILL at random moments: one
// process saving A and B in turn, or two saving them over each other.  After
// every kill core.xml is usable (or missing), the target or its backup loads
// exactly A or B, and the target then holds it whole.  The short form stops
// after 12 seconds: a slow machine or a sanitizer build fits fewer kills.
TEST(KilledSavesTest, EveryKillLeavesOneOfTheTwoDocuments) {
  const int rounds = Soak() ? 1000 : 200;
  const auto until = std::chrono::steady_clock::now() + seconds(Soak() ? 3600 : 12);
  TempDir dir;
  const std::string target = dir / configstore::kCoreConfigFile;
  const std::string names[2] = {dir / "a.xml", dir / "b.xml"};
  std::string texts[2];
  for (int i = 0; i < 2; ++i) {
    // Valid as core.xml: with the throttling setting.
    std::string text = saverace::StampedText(i == 0 ? "A" : "B", 0);
    text.insert(text.find('>') + 1, "<Memory Throttling='1'/>");
    TiXmlDocument document;
    configstore::ParseXml(document, text);
    texts[i] = configstore::PrintXmlIndented(document);  // as a save writes it
    WriteFile(names[i], texts[i]);
  }
  WriteFile(target, texts[0]);
  const unsigned seed = static_cast<unsigned>(::testing::UnitTest::GetInstance()->random_seed());
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delayUs(0, 20000);
  int onDisk = 0, kills = 0;
  int loaded[2] = {0, 0};
  for (int round = 0; round < rounds && (round < 4 || std::chrono::steady_clock::now() < until); ++round) {
    SCOPED_TRACE("round " + std::to_string(round) + ", seed " + std::to_string(seed));
    // The first saver starts with the document that is not on disk, so that
    // even an early kill interrupts a save that changes something.
    const int savers = 1 + round % 2;
    platform::ChildProcess children[2];
    for (int i = 0; i < savers; ++i) {
      const int first = i == 0 ? 1 - onDisk : onDisk;
      ASSERT_TRUE(children[i].Start(SAVE_LOOP_EXECUTABLE,
                                    {SAVE_LOOP_EXECUTABLE, target, names[first], names[1 - first]}));
    }
    for (int i = 0; i < savers; ++i) {
      ASSERT_TRUE(children[i].WaitForOutput("saving\n", seconds(30))) << children[i].Stderr();
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));  // a random moment
    for (int i = 0; i < savers; ++i) children[i].Signal(SIGKILL);
    for (int i = 0; i < savers; ++i) {
      ASSERT_EQ(128 + SIGKILL, children[i].Wait(seconds(30))) << children[i].Stderr();
      ++kills;
    }
    const std::string crashed = ::testing::PrintToString(Entries(dir.str()));
    ASSERT_EQ("", configstore::CheckCoreConfiguration(dir.str(), &RecordLog)) << crashed;
    TakeLog();
    TiXmlDocument document;
    ASSERT_TRUE(configstore::LoadFileWithBackup(document, target)) << crashed;
    const std::string text = configstore::PrintXmlIndented(document);
    ASSERT_TRUE(text == texts[0] || text == texts[1]) << crashed;
    onDisk = text == texts[0] ? 0 : 1;
    ++loaded[onDisk];
    ASSERT_EQ(texts[onDisk], ReadFile(target)) << "the target is not the document loaded";
  }
  EXPECT_GT(loaded[0], 0);
  EXPECT_GT(loaded[1], 0);
  std::printf("kills %d: loaded A %d, B %d, unloadable 0\n", kills, loaded[0], loaded[1]);
}

}  // namespace
