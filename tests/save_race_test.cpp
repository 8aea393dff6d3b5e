// Overlapping saves of one target, by two processes and two threads while a
// reader polls it, and overlapping saving processes killed at random: the
// target is never seen empty or torn, every reported success is checked
// against the file, and after any kill the target or its backup loads.
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

// Two processes saving documents A and B over each other, both killed at a
// random moment: the target or its backup loads exactly A or B.
TEST(OverlappingSavesTest, KilledOverlappingSavesLeaveALoadableDocument) {
  const int rounds = Soak() ? 500 : 10;
  TempDir dir;
  const std::string target = dir / configstore::kCoreConfigFile;
  const std::string names[2] = {dir / "a.xml", dir / "b.xml"};
  std::string texts[2];
  for (int i = 0; i < 2; ++i) {
    TiXmlDocument document;
    configstore::ParseXml(document, saverace::StampedText(i == 0 ? "A" : "B", 0));
    texts[i] = configstore::PrintXmlIndented(document);  // as a save writes it
  }
  WriteFile(names[0], texts[0]);
  WriteFile(names[1], texts[1]);
  WriteFile(target, texts[0]);
  const unsigned seed = static_cast<unsigned>(::testing::UnitTest::GetInstance()->random_seed());
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delayUs(0, 20000);
  int loaded[2] = {0, 0};
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round) + ", seed " + std::to_string(seed));
    platform::ChildProcess children[2];
    for (int i = 0; i < 2; ++i) {
      ASSERT_TRUE(children[i].Start(SAVE_LOOP_EXECUTABLE,
                                    {SAVE_LOOP_EXECUTABLE, target, names[i], names[1 - i]}));
    }
    for (platform::ChildProcess& child : children) {
      ASSERT_TRUE(child.WaitForOutput("saving\n", seconds(30))) << child.Stderr();
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
    for (platform::ChildProcess& child : children) child.Signal(SIGKILL);
    for (platform::ChildProcess& child : children) {
      ASSERT_EQ(128 + SIGKILL, child.Wait(seconds(30))) << child.Stderr();
    }
    TiXmlDocument document;
    ASSERT_TRUE(configstore::LoadFileWithBackup(document, target));
    const std::string text = configstore::PrintXmlIndented(document);
    const std::string stamp = saverace::StampOf(text);
    ASSERT_TRUE(stamp == "A 0" || stamp == "B 0") << stamp;
    ASSERT_TRUE(text == ReadFile(target)) << "the target is not the document loaded";
    ++loaded[stamp == "A 0" ? 0 : 1];
  }
  std::printf("kills %d: loaded A %d, B %d, unloadable 0\n", 2 * rounds, loaded[0], loaded[1]);
}

}  // namespace
