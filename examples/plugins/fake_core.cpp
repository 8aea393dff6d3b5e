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

template <typename Request, typename Reply>
int32_t FakeCore::Call(const char* name, const Request& request, Reply* reply) {
  void* symbol = library_ != nullptr ? platform::FindSymbol(library_, name) : nullptr;
  auto entry = reinterpret_cast<int32_t (*)(const Request*, Reply*)>(symbol);
  return entry == nullptr ? CORE_RC_NOT_EXPORTED : entry(&request, reply);
}

LoadReply FakeCore::Load() {
  LoadReply reply{sizeof(LoadReply), 2, 0, {}, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Call("Load", LoadRequest{sizeof(LoadRequest), 3, &context_, &FakeCore::WriteCallback}, &reply), 0);
  if (reply.runThread != 0) {
    run_ = std::thread([this] {
      IoctlReply ioctl{sizeof(IoctlReply), 1, IOCTL_RUN, 0, 0, {8, 1}};
      Call("IOCTL", IoctlRequest{sizeof(IoctlRequest), 1, IOCTL_RUN, 0, {8, 1, 0, 0, nullptr}}, &ioctl);
    });
  }
  return reply;
}

int32_t FakeCore::Open(uint32_t mode) {
  OpenReply reply{sizeof(OpenReply), 1, {0, 0}};
  return Call("Open", OpenRequest{sizeof(OpenRequest), 1, 0, 0, mode}, &reply);
}

WriteReply FakeCore::Write(const CoreEvent& e) {
  WriteReply reply{sizeof(WriteReply), 1, {}, 0, 0};
  const DeliveredEvent delivered{sizeof(DeliveredEvent), 1, 0, 0, {}, e.dataSize, 0, e.data,
                                 e.providerID, e.requestID, e.eventType, e.eventSubtype, e.attributes};
  EXPECT_EQ(Call("Write", delivered, &reply), 0);
  return reply;
}

int32_t FakeCore::Read(const std::string& request, uint32_t requestID) {
  std::unique_lock lock(mutex_);
  reader_ = std::this_thread::get_id();
  lock.unlock();
  ReadReply reply{sizeof(ReadReply), 1, {}};
  const ReadRequest read{sizeof(ReadRequest), 1, 0, 1, {}, static_cast<uint32_t>(request.size()), 0,
                         request.empty() ? nullptr : request.data(), requestID, 0};
  const int32_t rc = Call("Read", read, &reply);
  lock.lock();
  reader_ = std::thread::id();
  return rc;
}

int32_t FakeCore::Ioctl(uint32_t code, const std::string& data) {
  std::vector<char> block(data.begin(), data.end());  // delivered without a NUL after the bytes
  IoctlReply reply{sizeof(IoctlReply), 1, code, 0, 0, {8, 1}};
  const BufferDescriptor buffer{sizeof(BufferDescriptor), 1, static_cast<uint32_t>(block.size()), 0, block.data()};
  return Call("IOCTL", IoctlRequest{sizeof(IoctlRequest), 1, code, 0, buffer}, &reply);
}

void FakeCore::Stop() {
  if (library_ == nullptr) return;
  CloseReply close{sizeof(CloseReply), 1, 0};
  Call("Close", CloseRequest{sizeof(CloseRequest), 1, 0}, &close);
  if (run_.joinable()) run_.join();
  UnloadReply unload{sizeof(UnloadReply), 1, 0};
  Call("Unload", UnloadRequest{sizeof(UnloadRequest), 1}, &unload);
  platform::CloseLibrary(library_);
  library_ = nullptr;
}

void FakeCore::LogLine(CoreContext*, ModuleId, int32_t, const char* text) {
  std::lock_guard lock(current_->mutex_);
  current_->console_.push_back(text);
}

int32_t FakeCore::WriteCallback(const CoreEvent* event, WriteResult* result) {
  FakeCore& core = *current_;
  std::lock_guard lock(core.mutex_);
  if ((event->eventType & EVENT_LOG) != 0 && (event->eventSubtype & 3u) == SUBTYPE_LOG_QUERY) {
    result->code = -1;  // no threshold: every level passes
    return 0;
  }
  Written written{*event, std::string(), WRITE_ACCEPTED};
  if (event->data != nullptr && event->dataSize > 0)
    written.payload.assign(static_cast<const char*>(event->data), static_cast<size_t>(event->dataSize));
  if (event->eventType == EVENT_BLOCK_RELEASE || event->eventType == EVENT_TO_SUPERVISOR) {
    std::free(event->data);
  } else if (event->requestID != 0 && event->providerID != 0 && core.reader_ != std::this_thread::get_id()) {
    written.code = WRITE_REFUSED;
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
