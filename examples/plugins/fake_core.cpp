#include "fake_core.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/platform.h"

namespace example_test {

namespace fs = std::filesystem;
FakeCore* FakeCore::current_ = nullptr;

ScopedWorkDir::ScopedWorkDir()
    : previous_(fs::current_path().string()),
      path_((fs::temp_directory_path() / ("example-plugins-" + std::to_string(std::random_device{}())))
                .string()) {
  fs::create_directories(path_);
  fs::current_path(path_);
}

ScopedWorkDir::~ScopedWorkDir() {
  std::error_code ignored;
  fs::current_path(previous_, ignored);
  fs::remove_all(path_, ignored);
}

void WriteTextFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadTextFile(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

FakeCore::FakeCore(const std::string& library) {
  std::string error;
  library_ = platform::OpenLibrary(library, &error);
  if (library_ == nullptr) ADD_FAILURE() << "cannot open " << library << ": " << error;
  table_.logLine = &FakeCore::LogLine;
  current_ = this;
}

FakeCore::~FakeCore() {
  if (run_.joinable()) run_.join();
  platform::CloseLibrary(library_);
  current_ = nullptr;
}

void* FakeCore::Symbol(const char* name) const { return platform::FindSymbol(library_, name); }

int32_t FakeCore::Load(LoadReply* reply) {
  *reply = LoadReply{sizeof(LoadReply), 2, 0, {}, 0, 0, 0, 0, 0, 0, 0, 0};
  return Call("Load", LoadRequest{sizeof(LoadRequest), 3, &context_, &FakeCore::WriteCallback}, reply);
}

int32_t FakeCore::Open(uint32_t mode) {
  OpenReply reply{sizeof(OpenReply), 1, {0, 0}};
  return Call("Open", OpenRequest{sizeof(OpenRequest), 1, 0, 0, mode}, &reply);
}

int32_t FakeCore::Write(const CoreEvent& e, WriteReply* reply) {
  *reply = WriteReply{sizeof(WriteReply), 1, {}, 0, 0};
  return Call("Write", DeliveredEvent{sizeof(DeliveredEvent), 1, 0, 0, {}, e.dataSize, 0, e.data,
                                      e.providerID, e.requestID, e.eventType, e.eventSubtype, e.attributes},
              reply);
}

int32_t FakeCore::Read(const std::string& request, uint32_t requestID) {
  bool done = false;
  {
    std::lock_guard lock(mutex_);
    reader_ = std::this_thread::get_id();
  }
  std::thread deliverer([&] {  // stands in for the dispatcher delivering each answer
    std::unique_lock lock(mutex_);
    for (; !done; changed_.notify_all()) {
      changed_.wait(lock, [&] { return done || inFlight_; });
      inFlight_ = false;
    }
  });
  ReadReply reply{sizeof(ReadReply), 1, {}};
  const int32_t rc = Call("Read", ReadRequest{sizeof(ReadRequest), 1, 0, 1, {}, static_cast<uint32_t>(request.size()), 0,
                                              request.empty() ? nullptr : request.data(), requestID, 0},
                          &reply);
  {
    std::lock_guard lock(mutex_);
    reader_ = std::thread::id();
    done = true;
  }
  changed_.notify_all();
  deliverer.join();
  return rc;
}

int32_t FakeCore::Ioctl(uint32_t code, const void* data, uint32_t length, IoctlReply* reply) {
  IoctlRequest request{sizeof(IoctlRequest), 1, code, 0,
                       {sizeof(BufferDescriptor), 1, length, 0, const_cast<void*>(data)}};
  if (code == IOCTL_RUN) request.buffer = BufferDescriptor{8, 1, 0, 0, nullptr};
  *reply = IoctlReply{sizeof(IoctlReply), 1, code, 0, 0, {8, 1}};
  return Call("IOCTL", request, reply);
}

int32_t FakeCore::Close() {
  CloseReply reply{sizeof(CloseReply), 1, 0};
  return Call("Close", CloseRequest{sizeof(CloseRequest), 1, 0}, &reply);
}

int32_t FakeCore::Unload() {
  UnloadReply reply{sizeof(UnloadReply), 1, 0};
  return Call("Unload", UnloadRequest{sizeof(UnloadRequest), 1}, &reply);
}

void FakeCore::StartRun() {
  run_ = std::thread([this] {
    IoctlReply reply;
    Ioctl(IOCTL_RUN, nullptr, 0, &reply);
  });
}

void FakeCore::LogLine(CoreContext*, ModuleId, int32_t, const char* text) {
  std::lock_guard lock(current_->mutex_);
  current_->console_.push_back(text);
}

int32_t FakeCore::WriteCallback(const CoreEvent* event, WriteResult* result) {
  FakeCore& core = *current_;
  std::unique_lock lock(core.mutex_);
  if ((event->eventType & EVENT_LOG) != 0 && (event->eventSubtype & 3u) == SUBTYPE_LOG_QUERY) {
    result->code = core.threshold;
    return 0;
  }
  Written written{*event, std::string(), std::this_thread::get_id(), WRITE_ACCEPTED};
  if (event->data != nullptr && event->dataSize > 0)
    written.payload.assign(static_cast<const char*>(event->data), static_cast<size_t>(event->dataSize));
  if (event->eventType == EVENT_BLOCK_RELEASE || event->eventType == EVENT_TO_SUPERVISOR) {
    std::free(event->data);
  } else if (event->requestID != 0) {
    if (core.reader_ != std::this_thread::get_id() || core.answers_ >= core.refuseAnswersAfter) {
      written.code = WRITE_REFUSED;
    } else if (++core.answers_, !written.payload.empty()) {
      core.changed_.wait(lock, [&] { return !core.inFlight_; });
      core.inFlight_ = true;
    }
  } else if (core.decide) {
    written.code = core.decide(*event);
  }
  core.events_.push_back(written);
  core.changed_.notify_all();
  result->code = written.code;
  return 0;
}

bool FakeCore::WaitUntil(const std::function<bool(const std::vector<Written>&)>& done) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return done(events_); });
}

std::vector<Written> FakeCore::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<std::string> FakeCore::console() const {
  std::lock_guard lock(mutex_);
  return console_;
}

}  // namespace example_test
