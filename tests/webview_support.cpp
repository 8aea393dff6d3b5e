#include "tests/webview_support.h"

// Boost 1.74's Asio uses std::exchange without including <utility>.
#include <utility>

#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <cctype>
#include <fstream>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/supervisor_link.h"
#include "recording-core/plugin_abi.h"
#include "tests/core_directory.h"

namespace webview_test {

namespace asio = boost::asio;
namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

Answer Parse(const std::string& raw) {
  Answer answer;
  const size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos || raw.compare(0, 9, "HTTP/1.1 ") != 0) return answer;
  answer.head = raw.substr(0, end);
  answer.body = raw.substr(end + 4);
  answer.status = std::atoi(raw.c_str() + 9);
  const std::string length = answer.Header("Content-Length");
  answer.complete = !length.empty() && std::stoull(length) == answer.body.size();
  return answer;
}

struct Connection {
  explicit Connection(asio::io_context& io) : socket(io) {}
  asio::ip::tcp::socket socket;
  std::string received;
};

}  // namespace

std::string Answer::Header(const std::string& name) const {
  std::istringstream lines(head);
  std::string line;
  while (std::getline(lines, line)) {
    bool same = line.size() > name.size() && line[name.size()] == ':';
    for (size_t i = 0; same && i < name.size(); ++i)
      same = std::tolower(static_cast<unsigned char>(line[i])) == std::tolower(static_cast<unsigned char>(name[i]));
    if (same) {
      std::string value = line.substr(name.size() + 1);
      while (!value.empty() && (value.front() == ' ')) value.erase(0, 1);
      while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) value.pop_back();
      return value;
    }
  }
  return std::string();
}

std::vector<Answer> ExchangeMany(int port, const std::string& raw, size_t count, milliseconds deadline) {
  asio::io_context io;
  const asio::ip::tcp::endpoint server(asio::ip::make_address("127.0.0.1"), static_cast<uint16_t>(port));
  std::vector<std::unique_ptr<Connection>> connections;
  for (size_t i = 0; i < count; ++i) {
    connections.push_back(std::make_unique<Connection>(io));
    Connection& c = *connections.back();
    // Reads while it writes, so an answer that comes before the whole
    // request is sent (a refusal) is seen.
    c.socket.async_connect(server, [&c, &raw](boost::system::error_code ec) {
      if (ec) return;
      asio::async_write(c.socket, asio::buffer(raw), [](boost::system::error_code, size_t) {});
      asio::async_read(c.socket, asio::dynamic_buffer(c.received), [&c](boost::system::error_code, size_t) {
        boost::system::error_code ignored;
        c.socket.close(ignored);  // as a browser would, once the answer is in
      });
    });
  }
  io.run_for(deadline);
  std::vector<Answer> answers;
  for (const auto& c : connections) answers.push_back(Parse(c->received));
  return answers;
}

Answer Exchange(int port, const std::string& raw, milliseconds deadline) {
  return ExchangeMany(port, raw, 1, deadline)[0];
}

Answer Get(int port, const std::string& target, const std::string& extraHeaders) {
  return Exchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + extraHeaders +
                            "\r\n");
}

int SendSlowly(int port, const std::string& raw, milliseconds pace) {
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  boost::system::error_code ec;
  socket.connect({asio::ip::make_address("127.0.0.1"), static_cast<uint16_t>(port)}, ec);
  if (ec) return 0;
  socket.non_blocking(true, ec);
  for (size_t sent = 0; sent <= raw.size(); ++sent) {
    char byte;
    socket.read_some(asio::buffer(&byte, 1), ec);  // would_block while the server waits
    if (ec && ec != asio::error::would_block) return static_cast<int>(sent);
    if (sent == raw.size()) break;
    asio::write(socket, asio::buffer(&raw[sent], 1), ec);
    if (ec) return static_cast<int>(sent);
    std::this_thread::sleep_for(pace);  // the client's pace, not a wait for the server
  }
  return -1;
}

RunningDemo::RunningDemo(const std::string& webviewSettings)
    : directory_(fs::temp_directory_path() / ("core-webview-" + std::to_string(std::random_device()()))) {
  platform::ChildProcess setup;
  if (!source_.Start() ||
      !setup.Start(DEMO_SCRIPT, {DEMO_SCRIPT, "--build", BUILD_DIRECTORY, "--setup-only", directory_.string()}) ||
      setup.Wait(seconds(60)) != 0)
    return;
  // The core's own threshold at 0, so that level-0 lines (the loaded
  // plugins, a leak report) reach the console.
  std::ofstream(directory_ / "core.xml")
      << "<?xml version=\"1.0\"?>\n<Vexo Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"1\"/><Modules>"
         "<Module ID=\"-2147483648\" Name=\"Core\"><Plugin ID=\"-2147483648\" Filename=\"core\" LogLevel=\"0\" "
         "LogLevelDefault=\"25\"/></Module></Modules></Vexo>\n";
  std::ofstream(directory_ / "ipcam.conf", std::ios::app)
      << "camera0 = cam0 " << source_.Url(0) << "\ncamera1 = cam1 " << source_.Url(1) << "\n";
  std::ofstream(directory_ / "webview.conf", std::ios::app) << "port = 0\nrequest_timeout = 2\n" << webviewSettings;
  std::ofstream(directory_ / "recorder.conf", std::ios::app) << "report_seconds = 1\nsegment_seconds = 2\n";
  std::ofstream(directory_ / "exporter.conf", std::ios::app) << "after_seconds = 5\nseconds = 2\nlag_seconds = 2\n";

  int coreEnd = -1;
  if (!platform::CreateStreamSocketPair(&supervisor_, &coreEnd)) return;
  const std::string executable = (directory_ / "core").string();
  const bool started = core_.Start(executable, {executable, std::to_string(coreEnd)}, directory_.string(), {coreEnd});
  platform::CloseDescriptor(coreEnd);
  if (!started) return;
  // The core opens the plugins once the supervisor has introduced itself;
  // an introduction before it starts waiting is not seen, so it is repeated.
  static constexpr char kIntroduction[] = "webview_test\0" "1.0";
  const std::string info =
      testing_core::Packet(0, PIPE_KIND_INFO, 0, std::string(kIntroduction, sizeof kIntroduction - 1));
  const auto until = std::chrono::steady_clock::now() + seconds(60);
  bool running = false;
  while (!running && std::chrono::steady_clock::now() < until) {
    platform::WriteAll(supervisor_, info.data(), info.size());
    running = core_.WaitForOutput("successfully started core version", milliseconds(250));
  }
  constexpr char kServing[] = "status page on http://127.0.0.1:";
  if (running && core_.WaitForOutput(kServing, seconds(30))) {
    const std::string out = core_.Stdout();
    port_ = std::atoi(out.c_str() + out.find(kServing) + sizeof kServing - 1);
  }
}

RunningDemo::~RunningDemo() {
  if (!stopped_) Stop();
  if (supervisor_ >= 0) platform::CloseDescriptor(supervisor_);
  if (!::testing::Test::HasFailure()) fs::remove_all(directory_);  // kept for a look after a failure
}

std::string FirstSegment(const std::string& status, const std::string& camera) {
  // The recorder's cameras in /api/status: name, frames, open, then the
  // closed segments, each starting with its file.
  const std::regex segment("\"name\":\"" + camera +
                           "\",\"frames\":[0-9]+,\"open\":\"[^\"]*\",\"segments\":\\[\\{\"file\":\"([^\"]+)\"");
  std::smatch match;
  return std::regex_search(status, match, segment) ? match[1].str() : std::string();
}

std::string RunningDemo::Segment(const std::string& camera) {
  return FirstSegment(Get(port_, "/api/status").body, camera);
}

bool RunningDemo::Ready(std::string* why) {
  if (port_ == 0) {
    *why = "the page is not served:\n" + Output();
    return false;
  }
  const auto until = std::chrono::steady_clock::now() + seconds(60);
  std::string status;
  while (std::chrono::steady_clock::now() < until) {
    status = Get(port_, "/api/status").body;
    bool all = status.find("webview.dll") != std::string::npos;
    for (const char* camera : {"cam0", "cam1"}) all = all && !FirstSegment(status, camera).empty();
    if (all) return true;
    std::this_thread::sleep_for(milliseconds(100));  // polling interval, the deadline is above
  }
  *why = "cameras or recordings missing from /api/status: " + status;
  return false;
}

int RunningDemo::Stop() {
  stopped_ = true;
  const std::string stop = testing_core::Packet(0, PIPE_KIND_STOP, 0, "");
  platform::WriteAll(supervisor_, stop.data(), stop.size());
  return core_.Wait(seconds(60));
}

uint64_t ResidentBytes(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;  // in kB
  return 0;
}

double Sample(const std::string& exposition, const std::string& series) {
  std::istringstream lines(exposition);
  std::string line;
  while (std::getline(lines, line))
    if (line.size() > series.size() && line.compare(0, series.size(), series) == 0 && line[series.size()] == ' ')
      return std::stod(line.substr(series.size() + 1));
  return -1;
}

}  // namespace webview_test
