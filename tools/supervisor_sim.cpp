// supervisor_sim: plays the supervising daemon towards a core executable.
//
// It creates a connected stream socket pair, starts the core with the number
// of its end as the only argument (that end is inherited, its own end is
// close-on-exec), and then runs a line script from a file or standard input.
// Every packet the core sends back is printed as it arrives, and the core's
// exit code at the end.
//
//   supervisor_sim [--core PATH] [SCRIPT | -]
//
// PATH defaults to the "core" executable beside this program.  Script lines
// (blank lines and lines starting with # are skipped):
//
//   info NAME [VERSION [OPTION]]  supervisor information (kind 7), the fields
//                                 joined with NUL
//   msg TARGET KIND [HEX...]      a packet with that target and kind and the
//                                 payload given in hex (TARGET may be 0x...)
//   stop                          a stop packet (kind 8)
//   raw HEX...                    arbitrary bytes, for broken framing
//   sleep MS                      pause
//   signal INT|TERM|KILL|N        send a signal to the core
//   close                         close this end of the link
//   wait [MS]                     wait for the core to exit (at most MS ms,
//                                 then kill it) and print its exit code
//
// Output lines: "packet length=L target=0xT kind=K extra=0xE payload=HEX",
// "bad packet length=L" (buffered bytes dropped), "link closed",
// "exit CODE" (128 + signal number when a signal ended the core).  When the
// script ends before a wait, the link is closed and the core waited for.
// The program's own exit code is the core's, or 125 when the script or the
// start of the core fails.
#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/child_process.h"
#include "platform/platform.h"
#include "platform/supervisor_link.h"
#include "recording-core/plugin_abi.h"

namespace {

constexpr int kOwnFailure = 125;
constexpr int kFinalWaitMs = 30000;

std::mutex g_output_mutex;

void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Print(const char* format, ...) {
  std::lock_guard lock(g_output_mutex);
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

std::string Hex(const unsigned char* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 0xF];
  }
  return text;
}

std::optional<std::string> ParseHex(const std::string& text) {
  std::string digits;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    digits += c;
  }
  if (digits.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes += static_cast<char>(std::stoul(digits.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

std::optional<uint32_t> ParseNumber(const std::string& text) {
  if (text.empty() || text[0] == '-') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || value > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(value);
}

std::string Packet(uint32_t target, uint32_t kind, const std::string& payload) {
  const PipePacketHeader header{static_cast<uint32_t>(sizeof(PipePacketHeader) + payload.size()),
                                target, kind, 0};
  std::string bytes(sizeof header, '\0');
  std::memcpy(bytes.data(), &header, sizeof header);
  return bytes + payload;
}

// Reads the core's packets until the link closes and prints each one.
void ReadPackets(int fd) {
  std::vector<unsigned char> buffer(PIPE_MAX_PACKET);
  size_t fill = 0;
  for (;;) {
    const int64_t n = platform::ReadSome(fd, buffer.data() + fill, buffer.size() - fill, -1);
    if (n <= 0) {
      if (fill != 0) Print("incomplete packet: %zu bytes dropped\n", fill);
      Print(n == 0 ? "link closed\n" : "link read failed\n");
      return;
    }
    fill += static_cast<size_t>(n);
    while (fill >= sizeof(PipePacketHeader)) {
      PipePacketHeader header;
      std::memcpy(&header, buffer.data(), sizeof header);
      if (header.length < sizeof header || header.length > PIPE_MAX_PACKET) {
        Print("bad packet length=%u\n", header.length);
        fill = 0;
        break;
      }
      if (fill < header.length) break;
      Print("packet length=%u target=0x%08x kind=%u extra=0x%x payload=%s\n", header.length,
            header.target, header.kind, header.extra,
            Hex(buffer.data() + sizeof header, header.length - sizeof header).c_str());
      fill -= header.length;
      std::memmove(buffer.data(), buffer.data() + header.length, fill);
    }
  }
}

class Simulator {
 public:
  Simulator(int fd, int64_t pid) : fd_(fd), pid_(pid), reader_(ReadPackets, fd) {}
  ~Simulator() { CloseLink(); }

  // Runs one script line; false on a line that cannot be understood.
  bool Execute(const std::string& line) {
    std::istringstream in(line);
    std::string command;
    if (!(in >> command) || command[0] == '#') return true;
    std::vector<std::string> args;
    for (std::string word; in >> word;) args.push_back(word);

    if (command == "info" && !args.empty() && args.size() <= 3) {
      std::string payload = args[0];
      for (size_t i = 1; i < args.size(); ++i) payload += std::string(1, '\0') + args[i];
      return Send(Packet(0, PIPE_KIND_INFO, payload));
    }
    if (command == "msg" && args.size() >= 2) {
      auto target = ParseNumber(args[0]);
      auto kind = ParseNumber(args[1]);
      auto payload = ParseHex(Join(args, 2));
      if (!target || !kind || !payload) return false;
      return Send(Packet(*target, *kind, *payload));
    }
    if (command == "stop" && args.empty()) return Send(Packet(0, PIPE_KIND_STOP, ""));
    if (command == "raw" && !args.empty()) {
      auto bytes = ParseHex(Join(args, 0));
      return bytes && Send(*bytes);
    }
    if (command == "sleep" && args.size() == 1) {
      auto ms = ParseNumber(args[0]);
      if (!ms) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(*ms));
      return true;
    }
    if (command == "signal" && args.size() == 1) {
      int number = args[0] == "INT" ? SIGINT : args[0] == "TERM" ? SIGTERM
                   : args[0] == "KILL" ? SIGKILL : 0;
      if (number == 0) {
        auto parsed = ParseNumber(args[0]);
        if (!parsed || *parsed == 0 || *parsed > 64) return false;
        number = static_cast<int>(*parsed);
      }
      if (!exited_) platform::SignalProcess(pid_, number);
      return true;
    }
    if (command == "close" && args.empty()) {
      CloseLink();
      return true;
    }
    if (command == "wait" && args.size() <= 1) {
      std::optional<uint32_t> ms;
      if (!args.empty() && !(ms = ParseNumber(args[0]))) return false;
      Wait(ms ? static_cast<int>(*ms) : -1);
      return true;
    }
    return false;
  }

  // Closes the link when still open, waits for the core and returns the
  // program's exit code.
  int Finish(bool script_ok) {
    if (!exited_) {
      CloseLink();
      Wait(kFinalWaitMs);
    }
    CloseLink();
    return script_ok && !killed_ ? status_ : kOwnFailure;
  }

 private:
  static std::string Join(const std::vector<std::string>& words, size_t from) {
    std::string text;
    for (size_t i = from; i < words.size(); ++i) text += words[i];
    return text;
  }

  bool Send(const std::string& bytes) {
    if (fd_ < 0 || !platform::WriteAll(fd_, bytes.data(), bytes.size())) {
      Print("write failed\n");
    }
    return true;  // a core that is gone is something to report, not a script error
  }

  void CloseLink() {
    if (fd_ < 0) return;
    // Shutting down first wakes the reader thread with end-of-stream.
    platform::ShutdownSocket(fd_, true, true);
    if (reader_.joinable()) reader_.join();
    platform::CloseDescriptor(fd_);
    fd_ = -1;
  }

  void Wait(int timeout_ms) {
    if (exited_) {
      Print("exit %d\n", status_);
      return;
    }
    if (!platform::WaitProcess(pid_, timeout_ms, &status_)) {
      Print("core still running after %d ms: killed\n", timeout_ms);
      killed_ = true;
      platform::SignalProcess(pid_, SIGKILL);
      platform::WaitProcess(pid_, -1, &status_);
    }
    exited_ = true;
    // Whatever the core wrote before it ended is printed before its exit:
    // bytes already received are still read after the shutdown, which only
    // keeps a descendant that holds the core's end from blocking the reader.
    if (fd_ >= 0 && reader_.joinable()) {
      platform::ShutdownSocket(fd_, true, false);
      reader_.join();
      platform::CloseDescriptor(fd_);
      fd_ = -1;
    }
    Print("exit %d\n", status_);
  }

  int fd_;
  int64_t pid_;
  std::thread reader_;
  bool exited_ = false;
  bool killed_ = false;
  int status_ = 0;
};

int Usage(const char* program) {
  std::fprintf(stderr, "Usage: %s [--core PATH] [SCRIPT | -]\n", program);
  return kOwnFailure;
}

}  // namespace

int main(int argc, char** argv) {
  std::string core_path =
      (std::filesystem::path(platform::ExecutablePath(argv[0])).parent_path() / "core").string();
  std::string script_path = "-";
  bool have_script = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--core" && i + 1 < argc) {
      core_path = argv[++i];
    } else if ((arg == "-" || arg[0] != '-') && !have_script) {
      script_path = arg;
      have_script = true;
    } else {
      return Usage(argv[0]);
    }
  }

  std::ifstream file;
  if (script_path != "-") {
    file.open(script_path);
    if (!file) {
      std::fprintf(stderr, "cannot read script %s\n", script_path.c_str());
      return kOwnFailure;
    }
  }
  std::istream& script = script_path == "-" ? std::cin : file;

  int own_end = -1, core_end = -1;
  if (!platform::CreateStreamSocketPair(&own_end, &core_end)) {
    std::fprintf(stderr, "cannot create the socket pair\n");
    return kOwnFailure;
  }
  std::string error;
  const int64_t pid =
      platform::StartProcess(core_path, {std::to_string(core_end)}, core_end, &error);
  platform::CloseDescriptor(core_end);
  if (pid < 0) {
    std::fprintf(stderr, "cannot start %s: %s\n", core_path.c_str(), error.c_str());
    platform::CloseDescriptor(own_end);
    return kOwnFailure;
  }

  Simulator simulator(own_end, pid);
  bool script_ok = true;
  std::string line;
  for (int number = 1; std::getline(script, line); ++number) {
    if (!simulator.Execute(line)) {
      std::fprintf(stderr, "script line %d not understood: %s\n", number, line.c_str());
      script_ok = false;
      break;
    }
  }
  return simulator.Finish(script_ok);
}
