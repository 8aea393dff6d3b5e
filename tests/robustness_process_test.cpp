// The real core against misbehaving plugins and peers: a plugin that throws
// from each entry point, one whose unload comes while its answers still
// run, a closed or vanishing standard output, a subscriber far slower than
// its producer, a daemon that does not read, and a plugin stuck in Close.
//
// The flood and request tests have a short form here and a long form under
// CORE_SOAK=1 (`make soak`), which prints the figures.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include "platform/child_process.h"
#include "platform/supervisor_link.h"
#include "tests/core_directory.h"

namespace {

using namespace testing_core;
using namespace std::string_literals;

bool Soak() { return std::getenv("CORE_SOAK") != nullptr; }

// The first number after `key` in `text`, or -1.
long long NumberAfter(const std::string& text, const std::string& key) {
  const size_t at = text.find(key);
  return at == npos ? -1 : std::atoll(text.c_str() + at + key.size());
}

// A process's peak resident memory in MiB (VmHWM), or -1.
long long PeakRssMiB(int pid) {
  const long long kib = NumberAfter(ReadText("/proc/" + std::to_string(pid) + "/status"), "VmHWM:");
  return kib < 0 ? -1 : kib / 1024;
}

class RobustnessTest : public ::testing::Test {
 protected:
  void AddRogue(const std::string& name, const std::string& settings) {
    core_.AddPlugin(ROGUE_PLUGIN, name, settings);
  }
  std::string Trace() const { return core_.Trace(); }
  bool TraceHas(const std::string& needle) const { return core_.TraceHas(needle); }
  bool BackedUpAtStop() const { return fs::exists(core_.dir / "configbackupDN"); }
  // Starts the core; true once it is past bring-up.
  bool StartAndWait() { return core_.Start() && child().WaitForOutput(kStartLine, 30s); }
  platform::ChildProcess& child() { return core_.child(); }

  CoreDirectory core_;
};

// Exceptions ------------------------------------------------------------------

// A plugin throwing from each entry point, all in one core beside a
// companion that behaves: each is logged once per plugin and entry point,
// however often it throws, and the core stops in order and still closes,
// unloads and releases the companion.
TEST_F(RobustnessTest, PluginsThrowingFromEachEntryPoint) {
  const struct {
    std::string entry, settings;  // settings besides throwIn
    std::string text;             // what the log says after the entry point
  } throwers[] = {{"Load", "", ": rogue failure"},  {"Open", "", ": rogue failure"},
                  {"Close", "", ": rogue failure"}, {"Unload", "", ": rogue failure"},
                  {"Write", "acceptsWrite=1\nmask3=0x5\nfloodMs=200\nfloodBytes=16", ": rogue failure"},
                  {"IOCTL", "throwInt=1", "\n"},   {"Read", "acceptsRead=1", ": rogue failure"}};
  int module = 21;  // plugin IDs 0x00210000 and on
  for (const auto& thrower : throwers) {
    AddRogue("rogue" + thrower.entry, "systemID=0x00" + std::to_string(module++) + "0000\nthrowIn=" +
                                          thrower.entry + "\n" + thrower.settings);
  }
  core_.AddPlugin(TEST_PLUGIN, "companion", "systemID=0x00120000\nrunThread=1");
  ASSERT_TRUE(StartAndWait()) << child().Stdout();
  for (const auto& thrower : throwers) {
    if (thrower.entry != "Close" && thrower.entry != "Unload") {
      ASSERT_TRUE(TraceHas("rogue" + thrower.entry + ".dll throws in " + thrower.entry)) << Trace();
    }
  }
  child().Signal(SIGINT);
  EXPECT_EQ(0, child().Wait(60s));
  const std::string out = child().Stdout();
  const std::string trace = Trace();
  for (const auto& thrower : throwers) {
    const std::string name = "rogue" + thrower.entry + ".dll";
    EXPECT_NE(npos, trace.find(name + " throws in " + thrower.entry)) << trace;
    EXPECT_NE(npos, out.find("plugin " + name + " threw an exception in " + thrower.entry + thrower.text)) << out;
    EXPECT_EQ(1u, Count(out, "plugin " + name + " threw an exception")) << out;
  }
  EXPECT_EQ(std::size(throwers), Count(out, "threw an exception")) << out;
  EXPECT_NE(npos, out.find(kStopLine));
  for (const char* step : {"companion.dll Close", "companion.dll Unload", "companion.dll unmapped"})
    EXPECT_NE(npos, trace.find(step)) << step << "\n" << trace;
  EXPECT_TRUE(BackedUpAtStop());
}

// Unload while answers run ---------------------------------------------------

TEST_F(RobustnessTest, UnloadWhileAnswersStillRunKeepsTheLibrary) {
  // Each request is answered for 1.5 s whatever the core says, so the stop
  // that follows the broadcast finds them running.
  const int requests = Soak() ? 1000 : 100;
  AddRogue("reader", "systemID=0x00130000\nacceptsRead=1\nmask3=0x5\nanswerMs=1500\nrequests=" +
                         std::to_string(requests));
  ASSERT_TRUE(StartAndWait()) << child().Stdout();
  ASSERT_TRUE(TraceHas("reader.dll requests sent")) << Trace();
  child().Signal(SIGINT);
  EXPECT_EQ(0, child().Wait(120s));
  const std::string out = child().Stdout();
  EXPECT_NE(npos, out.find("plugin reader.dll still answers ")) << out;
  EXPECT_NE(npos, out.find("read requests: its library stays loaded")) << out;
  EXPECT_EQ(npos, child().Stderr().find("ERROR")) << child().Stderr();  // no sanitizer report
  EXPECT_TRUE(BackedUpAtStop());
  const size_t line = out.find("plugin reader.dll still answers");
  if (line != npos)
    std::printf("[ figure ] %d read requests, unload while answering: %s\n", requests,
                out.substr(line, out.find('\n', line) - line).c_str());
}

// Request threads that cannot be started: with the address space capped,
// thread stacks run out long before 400 answers that take 3 s each.
TEST_F(RobustnessTest, RequestThreadsThatCannotStartAreRefused) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "needs a capped address space";
#endif
  AddRogue("reader", "systemID=0x00130000\nacceptsRead=1\nmask3=0x5\nanswerMs=3000\nrequests=400");
  ASSERT_TRUE(core_.StartScript("ulimit -v 1048576; exec ./core"));
  ASSERT_TRUE(child().WaitForOutput(kStartLine, 30s)) << child().Stdout();
  ASSERT_TRUE(TraceHas("reader.dll requests sent")) << Trace();
  child().Signal(SIGINT);
  EXPECT_EQ(0, child().Wait(120s));
  EXPECT_NE(npos, child().Stdout().find("cannot start a request thread for plugin reader.dll: "))
      << child().Stdout();
  EXPECT_GT(NumberAfter(Trace(), "requests sent, refused="), 0) << Trace();
}

// Standard output -------------------------------------------------------------

// Standard output closed from the start, or a pipe into `head -1`, which
// leaves after the first line, so that all the core writes afterwards meets
// a closed pipe.  The exit code is the core's (pipefail).
TEST_F(RobustnessTest, ClosedOrClosingStandardOutput) {
  AddRogue("rogue", "systemID=0x00110000");
  for (const std::string output : {">&-", "| head -1"}) {
    SCOPED_TRACE(output);
    fs::remove(core_.dir / "trace.txt");
    fs::remove_all(core_.dir / "configbackupDN");
    ASSERT_TRUE(core_.StartScript("set -o pipefail; sh -c 'echo $$ > core.pid; exec ./core' " + output));
    ASSERT_TRUE(TraceHas("rogue.dll Open")) << Trace();
    if (output != ">&-") {
      ASSERT_TRUE(child().WaitForOutput("\n", 30s));
    }
    const long long pid = NumberAfter(ReadText(core_.dir / "core.pid"), "");
    ASSERT_GT(pid, 0);
    platform::SignalProcess(pid, SIGINT);
    EXPECT_EQ(0, child().Wait(60s)) << child().Stderr();
    EXPECT_TRUE(TraceHas("rogue.dll Unload"));
    EXPECT_TRUE(BackedUpAtStop());
  }
}

// Slow subscriber ---------------------------------------------------------------

// 64 KiB events flooded into a subscriber that takes milliseconds per event.
// The short form caps the address space at 1 GiB, which makes the budget
// 64 MiB (an eighth of half the address space), so that the backlog drains
// within seconds at the stop; the address-space cap rules out sanitizers.
TEST_F(RobustnessTest, FloodIntoASlowSubscriberKeepsMemoryBounded) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "needs a capped address space";
#endif
  const int floodMs = Soak() ? 30000 : 2000;
  AddRogue("producer", "systemID=0x00140000\nfloodBytes=65536\nfloodMs=" + std::to_string(floodMs));
  AddRogue("slow", "systemID=0x00150000\nacceptsWrite=1\nmask3=0x5\nwriteSleepMs=" +
                       std::string(Soak() ? "5" : "1"));
  ASSERT_TRUE(core_.StartScript(Soak() ? "exec ./core" : "ulimit -v 1048576; exec ./core"));
  ASSERT_TRUE(child().WaitForOutput(kStartLine, 30s)) << child().Stdout();
  ASSERT_TRUE(WaitUntil([&] { return Trace().find("producer.dll flood accepted=") != npos; },
                        std::chrono::seconds(floodMs / 1000 + 60)));
  const long long peakMiB = PeakRssMiB(child().pid());
  const auto stopping = std::chrono::steady_clock::now();
  child().Signal(SIGINT);
  EXPECT_EQ(0, child().Wait(300s));
  const auto stopSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - stopping);

  const std::string out = child().Stdout();
  const std::string trace = Trace();
  const long long budget = NumberAfter(out, "core event queue over its budget of ");
  ASSERT_GT(budget, 0) << out;
  EXPECT_NE(npos, out.find("slow subscriber slow.dll: ")) << out;
  EXPECT_LT(peakMiB, budget / (1 << 20) + 64) << "budget " << budget;
  const long long accepted = NumberAfter(trace, "producer.dll flood accepted=");
  const long long refused = NumberAfter(trace, " refused=");
  EXPECT_GT(refused, 0);
  // Every accepted event delivered, each once and in order.
  EXPECT_EQ(accepted, NumberAfter(trace, "slow.dll Close delivered=")) << trace;
  EXPECT_EQ(0, NumberAfter(trace, "slow.dll Close delivered=" + std::to_string(accepted) +
                                      " outOfOrder=")) << trace;
  std::printf("[ figure ] flood %d ms: peak RSS %lld MiB, budget %lld MiB, accepted %lld, "
              "refused %lld, delivered %lld, stop %.1f s\n", floodMs, peakMiB, budget >> 20, accepted,
              refused, NumberAfter(trace, "slow.dll Close delivered="), stopSeconds.count());
  const size_t named = out.find("slow subscriber slow.dll");
  if (named != npos)
    std::printf("[ figure ] %s\n", out.substr(named, out.find('\n', named) - named).c_str());
}

// A daemon that does not read ------------------------------------------------------

class DaemonTest : public RobustnessTest, public ::testing::WithParamInterface<bool> {};

// true: the daemon never reads; false: it shuts its read side down.
TEST_P(DaemonTest, SendQueueStaysBounded) {
  const bool neverReads = GetParam();
  int daemon = -1, core = -1;
  ASSERT_TRUE(platform::CreateStreamSocketPair(&daemon, &core));
  if (!neverReads) platform::ShutdownSocket(daemon, true, false);
  // 64 KiB packets: 94 MiB (the long form 640 MiB) offered to a 64 MiB budget.
  const int packets = Soak() ? 10000 : 1500;
  AddRogue("talker", "systemID=0x00160000\nsupervisorPackets=" + std::to_string(packets));
  ASSERT_TRUE(core_.Start({std::to_string(core)}, {core}));
  platform::CloseDescriptor(core);
  const std::string packet = Packet(0, PIPE_KIND_INFO, 0, "orvaned\0" "1.2.3"s);
  ASSERT_TRUE(platform::WriteAll(daemon, packet.data(), packet.size()));
  ASSERT_TRUE(child().WaitForOutput(kStartLine, 30s)) << child().Stdout();
  ASSERT_TRUE(WaitUntil([&] { return Trace().find("talker.dll supervisor accepted=") != npos; }));
  const long long peakMiB = PeakRssMiB(child().pid());

  const std::string stop = Packet(0, PIPE_KIND_STOP, 0, "");
  ASSERT_TRUE(platform::WriteAll(daemon, stop.data(), stop.size()));
  EXPECT_EQ(0, child().Wait(60s));
  platform::CloseDescriptor(daemon);
  const std::string out = child().Stdout();
  const std::string trace = Trace();
  EXPECT_LT(peakMiB, 64 + 128);  // the budget and the core's own share
  if (neverReads) {
    EXPECT_NE(npos, out.find("supervisor send queue over its budget of 67108864 bytes: packets refused"))
        << out;
    EXPECT_GT(NumberAfter(trace, " refused="), 0) << trace;
  }
  std::printf("[ figure ] daemon %s: peak RSS %lld MiB, packets accepted %lld, refused %lld\n",
              neverReads ? "never reads" : "shut its read side", peakMiB,
              NumberAfter(trace, "supervisor accepted="), NumberAfter(trace, " refused="));
}
INSTANTIATE_TEST_SUITE_P(NeverReadsAndReadSideShut, DaemonTest, ::testing::Bool());

// Stuck plugin -----------------------------------------------------------------------

TEST_F(RobustnessTest, SlowStuckCloseIsNamedByTheWatchdog) {
  AddRogue("stuck", "systemID=0x00170000\ncloseUntil=" + core_.Path("release"));
  ASSERT_TRUE(StartAndWait()) << child().Stdout();
  child().Signal(SIGINT);
  ASSERT_TRUE(TraceHas("stuck.dll Close"));
  const auto closing = std::chrono::steady_clock::now();
  ASSERT_TRUE(child().WaitForOutput("waiting for plugin stuck.dll in Close for 10 s", 60s))
      << child().Stdout();
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - closing);
  core_.Write("release", "go");
  EXPECT_EQ(0, child().Wait(60s));
  std::printf("[ figure ] watchdog line %.2f s after Close began\n", seconds.count());
}

}  // namespace
