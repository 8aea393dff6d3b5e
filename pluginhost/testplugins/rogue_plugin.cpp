// A misbehaving plugin for the robustness tests, in C++ so that it can throw
// out of its entry points the way a careless C++ plugin does.  Written
// against the plugin header alone.
//
// Settings come from the library's own path + ".cfg": lines "key=value".
//   systemID, mask3, acceptsRead, acceptsWrite: the load reply;
//   throwIn: the entry point (Load, Open, Close, Unload, Write, IOCTL, Read)
//     that throws std::runtime_error("rogue failure"); throwInt=1 throws an
//     int instead;
//   writeSleepMs: how long each Write takes;
//   floodMs, floodBytes: the run thread writes events of class 3 with
//     floodBytes of payload (a sequence number first) for floodMs;
//   supervisorPackets: the run thread submits that many 64 KiB packets to
//     the daemon;
//   requests: the run thread broadcasts that many read requests;
//   answerMs: Read answers a request every 10 ms for answerMs, whatever
//     the core answers, as a plugin that does not check the codes would;
//   closeUntil: Close waits until this file exists;
//   trace: the file each notable step appends one line to.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include <dlfcn.h>

#include "recording-core/plugin_abi.h"

namespace {

struct Settings {
  std::string name = "?";
  std::map<std::string, std::string> values;
};
const Settings& TheSettings();

CoreWriteFn g_write = nullptr;
std::atomic<bool> g_opened{false};
std::atomic<bool> g_closed{false};
std::mutex g_traceMutex;
// What Write saw of the numbered events of a flood [dispatcher].
uint64_t g_last = 0, g_delivered = 0, g_outOfOrder = 0;

long Number(const char* key) {
  auto found = TheSettings().values.find(key);
  return found == TheSettings().values.end() ? 0 : std::strtol(found->second.c_str(), nullptr, 0);
}
std::string Text(const char* key) {
  auto found = TheSettings().values.find(key);
  return found == TheSettings().values.end() ? std::string() : found->second;
}

void Trace(const std::string& line) {
  const std::string file = Text("trace");
  if (file.empty()) return;
  std::lock_guard lock(g_traceMutex);
  std::ofstream(file, std::ios::app) << TheSettings().name << " " << line << "\n";
}

// Read on first use: the library's own path names its settings file.
const Settings& TheSettings() {
  static const Settings settings = [] {
    Settings read;
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&TheSettings), &info) == 0 || info.dli_fname == nullptr)
      return read;
    const std::string path = info.dli_fname;
    read.name = path.substr(path.rfind('/') + 1);
    std::ifstream in(path + ".cfg");
    for (std::string line; std::getline(in, line);) {
      const size_t equals = line.find('=');
      if (equals != std::string::npos) read.values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return read;
  }();
  return settings;
}

void MaybeThrow(const char* entry) {
  if (Text("throwIn") != entry) return;
  Trace(std::string("throws in ") + entry);
  if (Number("throwInt") != 0) throw 42;
  throw std::runtime_error("rogue failure");
}

void Sleep(long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int32_t Send(uint32_t provider, uint32_t type, uint32_t request, void* data, int32_t size) {
  CoreEvent event{};
  event.structSize = sizeof event;
  event.version = 1;
  event.dataSize = size;
  event.data = data;
  event.providerID = provider;
  event.requestID = request;
  event.eventType = type;
  event.eventSubtype = 0x5;
  WriteResult result{sizeof result, 1, 99};
  g_write(&event, &result);
  return result.code;
}

uint32_t Self() { return static_cast<uint32_t>(Number("systemID")); }

void Flood() {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(Number("floodMs"));
  std::string payload(static_cast<size_t>(Number("floodBytes")), 'f');
  uint64_t sequence = 0, accepted = 0, refused = 0;
  while (std::chrono::steady_clock::now() < end && !g_closed) {
    ++sequence;
    std::memcpy(payload.data(), &sequence, sizeof sequence);
    if (Send(Self(), 0x8, 0, payload.data(), static_cast<int32_t>(payload.size())) == 0)
      ++accepted;
    else
      ++refused;
  }
  Trace("flood accepted=" + std::to_string(accepted) + " refused=" + std::to_string(refused));
}

void FloodSupervisor() {
  constexpr uint32_t kSize = 65536;
  uint64_t accepted = 0, refused = 0;
  for (long i = 0; i < Number("supervisorPackets") && !g_closed; ++i) {
    auto* packet = static_cast<unsigned char*>(std::malloc(kSize));
    std::memset(packet, 'p', kSize);  // touched: the queue's memory is real
    const PipePacketHeader header{kSize, 0, 9, 0};
    std::memcpy(packet, &header, sizeof header);
    if (Send(Self(), EVENT_TO_SUPERVISOR, 0, packet, kSize) == 0) ++accepted; else ++refused;
  }
  Trace("supervisor accepted=" + std::to_string(accepted) + " refused=" + std::to_string(refused));
}

}  // namespace

extern "C" {

PLUGIN_EXPORT int32_t Load(const LoadRequest* request, LoadReply* reply) {
  g_write = request->write;
  MaybeThrow("Load");
  reply->systemID = Self();
  reply->subscriptionMasks[3] = static_cast<uint32_t>(Number("mask3"));
  reply->runThread = 1;
  reply->acceptsRead = static_cast<uint8_t>(Number("acceptsRead"));
  reply->acceptsWrite = static_cast<uint8_t>(Number("acceptsWrite"));
  return 0;
}

PLUGIN_EXPORT int32_t Open(const OpenRequest*, OpenReply*) {
  MaybeThrow("Open");
  g_opened = true;
  Trace("Open");
  return 0;
}

PLUGIN_EXPORT int32_t Close(const CloseRequest*, CloseReply*) {
  g_closed = true;
  Trace("Close delivered=" + std::to_string(g_delivered) + " outOfOrder=" + std::to_string(g_outOfOrder));
  const std::string until = Text("closeUntil");
  while (!until.empty() && !std::ifstream(until)) Sleep(10);
  MaybeThrow("Close");
  return 0;
}

PLUGIN_EXPORT int32_t Unload(const UnloadRequest*, UnloadReply*) {
  Trace("Unload");
  MaybeThrow("Unload");
  return 0;
}

PLUGIN_EXPORT int32_t Read(const ReadRequest* request, ReadReply*) {
  if (request->requestID == 0) {
    MaybeThrow("Read");
    while (!g_closed) Sleep(5);
    return 0;
  }
  static char answer[1024];
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(Number("answerMs"));
  while (std::chrono::steady_clock::now() < end) {
    Send(Self(), 0x8, request->requestID, answer, sizeof answer);
    Sleep(10);
  }
  return 0;
}

PLUGIN_EXPORT int32_t Write(const DeliveredEvent* event, WriteReply*) {
  MaybeThrow("Write");
  if (event->dataSize >= 8 && event->requestID == 0) {
    // Numbered events must come in order, each once.
    uint64_t sequence = 0;
    std::memcpy(&sequence, event->data, sizeof sequence);
    if (sequence <= g_last) ++g_outOfOrder;
    g_last = sequence;
    ++g_delivered;
  }
  if (Number("writeSleepMs") > 0) Sleep(Number("writeSleepMs"));
  return 0;
}

PLUGIN_EXPORT int32_t IOCTL(const IoctlRequest* request, IoctlReply*) {
  if (request->code != IOCTL_RUN) return 0;
  MaybeThrow("IOCTL");
  // Every plugin is in the core's list by the time this one is opened.
  while (!g_opened && !g_closed) Sleep(5);
  if (Number("floodMs") > 0) Flood();
  if (Number("supervisorPackets") > 0) FloodSupervisor();
  long refused = 0;
  for (long i = 1; i <= Number("requests"); ++i)
    refused += Send(0, 0x8, static_cast<uint32_t>(i), nullptr, 0) != 0;
  if (Number("requests") > 0) Trace("requests sent, refused=" + std::to_string(refused));
  while (!g_closed) Sleep(5);
  return 0;
}

}  // extern "C"
