// The real core against misbehaving plugins and peers: a plugin that throws
// from each entry point, one whose unload comes while its answers still
// run, a closed or vanishing standard output, a subscriber far slower than
// its producer, a daemon that does not read, and a plugin stuck in Close.
//
// The flood and request tests have a short form here and a long form under
// CORE_SOAK=1 (`make soak`), which prints the figures.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "platform/child_process.h"
#include "platform/subprocess.h"
#include "platform/supervisor_link.h"
#include "recording-core/plugin_abi.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_literals;

constexpr char kStartLine[] = "successfully started core version 20.12.8.0";
constexpr char kStopLine[] = "stopping core version 20.12.8.0...";
constexpr auto npos = std::string::npos;

size_t Count(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

bool Soak() { return std::getenv("CORE_SOAK") != nullptr; }

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

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
  void SetUp() override {
    fs::create_directories(dir_ / "plugins");
    fs::copy_file(CORE_EXECUTABLE, dir_ / "core");
    std::ofstream(dir_ / "core.xml") << "<Vexo Delta=\"0\"><Memory Throttling=\"1\"/></Vexo>";
    std::ofstream(dir_ / "useraccounts.xml") << "<UserAccounts/>";
  }
  void TearDown() override {
    if (child_.Wait(0ms) < 0) {
      child_.Signal(SIGKILL);
      child_.Wait(30s);
    }
    fs::remove_all(dir_);
  }

  // plugins/NAME.dll: a copy of `library` with its settings and the trace.
  void AddPlugin(const std::string& library, const std::string& name, const std::string& settings) {
    const fs::path path = dir_ / "plugins" / (name + ".dll");
    fs::copy_file(library, path);
    std::ofstream(path.string() + ".cfg") << settings << "\ntrace=" << Path("trace.txt") << "\n";
  }
  void AddRogue(const std::string& name, const std::string& settings) {
    AddPlugin(ROGUE_PLUGIN, name, settings);
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::string Trace() const { return ReadText(dir_ / "trace.txt"); }

  bool Start(const std::vector<int>& inherit = {}, const std::vector<std::string>& args = {}) {
    const std::string core = Path("core");
    std::vector<std::string> argv = {core};
    argv.insert(argv.end(), args.begin(), args.end());
    return child_.Start(core, argv, dir_.string(), inherit);
  }
  // Runs `script` with bash in the core directory.
  bool StartScript(const std::string& script) {
    return child_.Start("/bin/bash", {"/bin/bash", "-c", script}, dir_.string());
  }
  static bool WaitUntil(const std::function<bool()>& condition, std::chrono::seconds limit = 60s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition() && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(20ms);
    return condition();
  }
  bool TraceHas(const std::string& needle) const {
    return WaitUntil([&] { return Trace().find(needle) != npos; });
  }
  bool BackedUpAtStop() const { return fs::exists(dir_ / "configbackupDN"); }

  const fs::path dir_ =
      fs::temp_directory_path() / ("core-robust-" + std::to_string(std::random_device()()));
  platform::ChildProcess child_;
};

// Exceptions ------------------------------------------------------------------

struct Thrower {
  const char* entry;
  const char* settings;  // besides throwIn
  const char* line;      // what the log says
};

class ThrowingPluginTest : public RobustnessTest, public ::testing::WithParamInterface<Thrower> {};

TEST_P(ThrowingPluginTest, CoreStopsInOrderAndClosesTheOthers) {
  const Thrower& thrower = GetParam();
  AddRogue("rogue", "systemID=0x00110000\nthrowIn="s + thrower.entry + "\n" + thrower.settings);
  AddPlugin(TEST_PLUGIN, "companion", "systemID=0x00120000\nrunThread=1");
  ASSERT_TRUE(Start());
  ASSERT_TRUE(child_.WaitForOutput(kStartLine, 30s)) << child_.Stdout();
  const std::string throws = "throws in "s + thrower.entry;
  const bool atStop = throws.ends_with("Close") || throws.ends_with("Unload");
  if (!atStop) {
    ASSERT_TRUE(TraceHas(throws)) << Trace();
  }
  child_.Signal(SIGINT);
  EXPECT_EQ(0, child_.Wait(60s));
  EXPECT_NE(npos, Trace().find(throws));

  const std::string out = child_.Stdout();
  EXPECT_NE(npos, out.find(thrower.line)) << out;
  // Once per plugin and entry point, however often it throws.
  EXPECT_EQ(1u, Count(out, "threw an exception")) << out;
  EXPECT_NE(npos, out.find(kStopLine));
  const std::string trace = Trace();
  for (const char* step : {"companion.dll Close", "companion.dll Unload", "companion.dll unmapped"})
    EXPECT_NE(npos, trace.find(step)) << step << "\n" << trace;
  EXPECT_TRUE(BackedUpAtStop());
}

INSTANTIATE_TEST_SUITE_P(
    EachEntryPoint, ThrowingPluginTest,
    ::testing::Values(
        Thrower{"Load", "", "plugin rogue.dll threw an exception in Load: rogue failure"},
        Thrower{"Open", "", "plugin rogue.dll threw an exception in Open: rogue failure"},
        Thrower{"Close", "", "plugin rogue.dll threw an exception in Close: rogue failure"},
        Thrower{"Unload", "", "plugin rogue.dll threw an exception in Unload: rogue failure"},
        Thrower{"Write", "acceptsWrite=1\nmask3=0x5\nfloodMs=200\nfloodBytes=16",
                "plugin rogue.dll threw an exception in Write: rogue failure"},
        Thrower{"IOCTL", "throwInt=1", "plugin rogue.dll threw an exception in IOCTL\n"},
        Thrower{"Read", "acceptsRead=1", "plugin rogue.dll threw an exception in Read: rogue failure"}),
    [](const auto& info) { return std::string(info.param.entry); });

// Unload while answers run ---------------------------------------------------

TEST_F(RobustnessTest, UnloadWhileAnswersStillRunKeepsTheLibrary) {
  // Each request is answered for 1.5 s whatever the core says, so the stop
  // that follows the broadcast finds them running.
  const int requests = Soak() ? 1000 : 100;
  AddRogue("reader", "systemID=0x00130000\nacceptsRead=1\nmask3=0x5\nanswerMs=1500\nrequests=" +
                         std::to_string(requests));
  ASSERT_TRUE(Start());
  ASSERT_TRUE(child_.WaitForOutput(kStartLine, 30s)) << child_.Stdout();
  ASSERT_TRUE(TraceHas("reader.dll requests sent")) << Trace();
  child_.Signal(SIGINT);
  EXPECT_EQ(0, child_.Wait(120s));
  const std::string out = child_.Stdout();
  EXPECT_NE(npos, out.find("plugin reader.dll still answers ")) << out;
  EXPECT_NE(npos, out.find("read requests: its library stays loaded")) << out;
  EXPECT_EQ(npos, child_.Stderr().find("ERROR")) << child_.Stderr();  // no sanitizer report
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
  ASSERT_TRUE(StartScript("ulimit -v 1048576; exec ./core"));
  ASSERT_TRUE(child_.WaitForOutput(kStartLine, 30s)) << child_.Stdout();
  ASSERT_TRUE(TraceHas("reader.dll requests sent")) << Trace();
  child_.Signal(SIGINT);
  EXPECT_EQ(0, child_.Wait(120s));
  EXPECT_NE(npos, child_.Stdout().find("cannot start a request thread for plugin reader.dll: "))
      << child_.Stdout();
  EXPECT_GT(NumberAfter(Trace(), "requests sent, refused="), 0) << Trace();
}

// Standard output -------------------------------------------------------------

// `core | head -1`: head leaves after the first line, and everything the core
// writes afterwards meets a closed pipe.
TEST_F(RobustnessTest, OutputIntoAPipeThatCloses) {
  AddRogue("rogue", "systemID=0x00110000");
  ASSERT_TRUE(StartScript("set -o pipefail; sh -c 'echo $$ > core.pid; exec ./core' | head -1"));
  ASSERT_TRUE(TraceHas("rogue.dll Open")) << Trace();
  ASSERT_TRUE(child_.WaitForOutput("\n", 30s));
  const long long pid = NumberAfter(ReadText(dir_ / "core.pid"), "");
  ASSERT_GT(pid, 0);
  platform::SignalProcess(pid, SIGINT);
  EXPECT_EQ(0, child_.Wait(60s)) << child_.Stderr();  // the core's code (pipefail)
  EXPECT_TRUE(TraceHas("rogue.dll Unload"));
  EXPECT_TRUE(BackedUpAtStop());
}

TEST_F(RobustnessTest, ClosedStandardOutput) {
  AddRogue("rogue", "systemID=0x00110000");
  ASSERT_TRUE(StartScript("exec ./core >&-"));
  ASSERT_TRUE(TraceHas("rogue.dll Open")) << Trace();
  child_.Signal(SIGINT);
  EXPECT_EQ(0, child_.Wait(60s));
  EXPECT_TRUE(TraceHas("rogue.dll Unload"));
  EXPECT_TRUE(BackedUpAtStop());
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
  ASSERT_TRUE(StartScript(Soak() ? "exec ./core" : "ulimit -v 1048576; exec ./core"));
  ASSERT_TRUE(child_.WaitForOutput(kStartLine, 30s)) << child_.Stdout();
  ASSERT_TRUE(WaitUntil([&] { return Trace().find("producer.dll flood accepted=") != npos; },
                        std::chrono::seconds(floodMs / 1000 + 60)));
  const long long peakMiB = PeakRssMiB(child_.pid());
  const auto stopping = std::chrono::steady_clock::now();
  child_.Signal(SIGINT);
  EXPECT_EQ(0, child_.Wait(300s));
  const auto stopSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - stopping);

  const std::string out = child_.Stdout();
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
  ASSERT_TRUE(Start({core}, {std::to_string(core)}));
  platform::CloseDescriptor(core);
  const PipePacketHeader info{16 + 12, 0, PIPE_KIND_INFO, 0};
  std::string packet(reinterpret_cast<const char*>(&info), sizeof info);
  packet += "orvaned\0" "1.2.3"s;
  packet.resize(info.length);
  ASSERT_TRUE(platform::WriteAll(daemon, packet.data(), packet.size()));
  ASSERT_TRUE(child_.WaitForOutput(kStartLine, 30s)) << child_.Stdout();
  ASSERT_TRUE(WaitUntil([&] { return Trace().find("talker.dll supervisor accepted=") != npos; }));
  const long long peakMiB = PeakRssMiB(child_.pid());

  const PipePacketHeader stop{16, 0, PIPE_KIND_STOP, 0};
  ASSERT_TRUE(platform::WriteAll(daemon, &stop, sizeof stop));
  EXPECT_EQ(0, child_.Wait(60s));
  platform::CloseDescriptor(daemon);
  const std::string out = child_.Stdout();
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
  AddRogue("stuck", "systemID=0x00170000\ncloseUntil=" + Path("release"));
  ASSERT_TRUE(Start());
  ASSERT_TRUE(child_.WaitForOutput(kStartLine, 30s)) << child_.Stdout();
  child_.Signal(SIGINT);
  ASSERT_TRUE(TraceHas("stuck.dll Close"));
  const auto closing = std::chrono::steady_clock::now();
  ASSERT_TRUE(child_.WaitForOutput("waiting for plugin stuck.dll in Close for 10 s", 60s))
      << child_.Stdout();
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - closing);
  std::ofstream(dir_ / "release") << "go";
  EXPECT_EQ(0, child_.Wait(60s));
  std::printf("[ figure ] watchdog line %.2f s after Close began\n", seconds.count());
}

}  // namespace
