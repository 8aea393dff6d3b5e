#include "supervisor/supervisor_pipe.h"

#include "pluginhost/plugin_blocks.h"

#include <cstring>
#include <string_view>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "base/log.h"
#include "platform/platform.h"
#include "platform/supervisor_link.h"

namespace supervisor {
namespace {

constexpr uint32_t kHeaderSize = PacketFramer::kHeaderSize;
// The exact option text that puts the core into background mode.
constexpr std::string_view kBackgroundOption = "Background:true";

}  // namespace

SupervisorPipe::SupervisorPipe(boost::asio::io_context& io, PipeHost& host,
                               std::function<void()> detach)
    : io_(io),
      host_(host),
      detach_(std::move(detach)),
      descriptor_(io) {}

SupervisorPipe::~SupervisorPipe() {
  boost::system::error_code ignored;
  descriptor_.close(ignored);
}

std::function<void()> SupervisorPipe::DefaultDetach() { return platform::DetachFromConsole; }

bool SupervisorPipe::Open(int64_t handle) {
  if (handle == -1) return true;
  if (platform::IsStreamSocket(handle)) {
    const int fd = static_cast<int>(handle);
    boost::system::error_code error;
    descriptor_.assign(fd, error);
    if (!error) {
      // Programs that plugins start must not hold the daemon's link open.
      platform::SetCloseOnExec(fd);
      // A daemon that goes away while a packet is being written must show
      // up as a failed write, not end the process.
      platform::IgnoreBrokenPipeSignal();
      open_.store(true, std::memory_order_release);
      return true;
    }
  }
  base::Log(CORE_MODULE_ID, host_.Writer(), base::kLevelFatal, "failed to open ipc pipe");
  return false;
}

void SupervisorPipe::StartReading() {
  if (IsOpen()) ReadNext();
}

// Reading and framing --------------------------------------------------------

void SupervisorPipe::ReadNext() {
  // The framer always leaves room for at least one byte.
  descriptor_.async_read_some(
      boost::asio::buffer(framer_.WritePosition(), framer_.Room()),
      [this](const boost::system::error_code& error, size_t bytes) { OnRead(error, bytes); });
}

void SupervisorPipe::OnRead(const boost::system::error_code& error, size_t bytes) {
  // The descriptor was closed under the read at shutdown: not a lost daemon.
  if (error == boost::asio::error::operation_aborted) return;
  if (error || bytes == 0) {
    Disconnect();
    return;
  }
  // Several packets of one read are handled in order, a stop among them
  // included; a packet split over reads waits for its last byte.
  framer_.Received(bytes, *this);
  ReadNext();
}

void SupervisorPipe::OnBadLength(uint32_t, uint64_t) {
  base::Log(CORE_MODULE_ID, host_.Writer(), base::kLevelWarning, "bad ipc packet length");
}

void SupervisorPipe::OnPacket(const PipePacketHeader& header, unsigned char* packet) {
  if (header.kind == PIPE_KIND_INFO && header.length > kHeaderSize) {
    StoreInformation(packet, header.length);
  } else if (header.kind == PIPE_KIND_STOP) {
    host_.RequestStop();
  } else {
    ForwardToPlugin(header, packet);
  }
}

void SupervisorPipe::StoreInformation(const unsigned char* packet, uint32_t length) {
  // Payload fields are separated by NUL: file name, version, option.  k NULs
  // give k + 1 fields; fields past the third are ignored.
  const std::string_view payload(reinterpret_cast<const char*>(packet + kHeaderSize),
                                 length - kHeaderSize);
  std::string_view fields[3];
  size_t count = 0;
  size_t start = 0;
  while (count < 3) {
    const size_t end = payload.find('\0', start);
    fields[count++] = payload.substr(start, end == std::string_view::npos ? end : end - start);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }

  std::string name(fields[0]);
  std::string version(fields[1]);
  const bool background = fields[2] == kBackgroundOption;
  if (count >= 3) {
    background_.store(background, std::memory_order_release);
    // The console is given up for good: a later message that clears the
    // flag only lets the console sink write again, to /dev/null.
    if (background && !detached_) {
      detached_ = true;
      if (detach_) detach_();
    }
  }
  {
    std::lock_guard<std::mutex> lock(infoMutex_);
    if (count >= 2) version_ = std::move(version);
    file_name_ = std::move(name);
  }
  // The core's start-up wait for this message ends at the notification.
  host_.NotifyUnderQueueMutex([] {});
}

void SupervisorPipe::ForwardToPlugin(const PipePacketHeader& header, unsigned char* packet) {
  const uint32_t number = header.target >> 20;
  // Records are held by pointer and destroyed only after the I/O thread is
  // joined, so the match stays valid after the list's lock is released; the
  // plugin is called outside that lock.
  const pluginhost::PluginInfo* plugin = nullptr;
  host_.Plugins().ForEach([&](const pluginhost::PluginInfo& record) {
    if (plugin == nullptr && MODULE_NUMBER(record.systemID()) == number) plugin = &record;
  });
  if (plugin == nullptr) return;

  // In place: the packet, header included, still in the receive buffer.
  IoctlRequest request = pluginhost::MakeIoctlRequest(IOCTL_SUPERVISOR, packet, header.length);
  IoctlReply reply = pluginhost::MakeIoctlReply(IOCTL_SUPERVISOR);

  const int32_t result =
      plugin->Ioctl != nullptr
          ? pluginhost::Guarded(*plugin->guard, pluginhost::Entry::kIoctl,
                                [&] { return plugin->Ioctl(&request, &reply); })
          : CORE_RC_NOT_EXPORTED;
  if (result != 0 || reply.errorCode != 0) {
    base::Log(CORE_MODULE_ID, host_.Writer(), base::kLevelDebug,
              "plugin %s ipc ioctl returned %d error %d", plugin->Filename.c_str(), result,
              reply.errorCode);
  }
}

void SupervisorPipe::Disconnect() {
  base::Log(CORE_MODULE_ID, host_.Writer(), base::kLevelFatal, "orvaned ipc pipe disconnected");
  host_.RequestStop();
  open_.store(false, std::memory_order_release);
  boost::system::error_code ignored;
  descriptor_.close(ignored);
}

// Writing --------------------------------------------------------------------

int32_t SupervisorPipe::Submit(void* data, int64_t size) {
  Buffer owned(data);
  if (size < 0 || (data == nullptr && size > 0) || !IsOpen()) return 1;
  if (!ReserveSend(static_cast<uint64_t>(size))) {
    if (refusalLine_.Due(platform::SteadyNowNs()))
      base::Log(CORE_MODULE_ID, host_.Writer(), base::kLevelError,
                "supervisor send queue over its budget of %llu bytes: packets refused",
                static_cast<unsigned long long>(kSendBudget));
    return 1;
  }
  // The queue belongs to the I/O thread.  Should the service never run the
  // job (stopped for shutdown), destroying the job frees the buffer.
  boost::asio::post(io_, [this, owned = std::move(owned), size]() mutable {
    Append(std::move(owned), static_cast<size_t>(size));
  });
  return 0;
}

bool SupervisorPipe::ReserveSend(uint64_t size) {
  uint64_t queued = queuedBytes_.load(std::memory_order_relaxed);
  do {
    if (size > kSendBudget || queued > kSendBudget - size) return false;
  } while (!queuedBytes_.compare_exchange_weak(queued, queued + size, std::memory_order_relaxed));
  return true;
}

void SupervisorPipe::Append(Buffer data, size_t size) {
  outgoing_.push_back(Outgoing{std::move(data), size});
  if (outgoing_.size() == 1) WriteFront();
}

void SupervisorPipe::WriteFront() {
  if (outgoing_.empty() || !descriptor_.is_open()) return;
  const Outgoing& front = outgoing_.front();
  boost::asio::async_write(
      descriptor_, boost::asio::buffer(front.data.get(), front.size),
      [this](const boost::system::error_code& error, size_t) { OnWritten(error); });
}

void SupervisorPipe::OnWritten(const boost::system::error_code& error) {
  queuedBytes_.fetch_sub(outgoing_.front().size, std::memory_order_relaxed);
  outgoing_.pop_front();
  // After a failed write the rest waits for ReleaseQueued at shutdown.
  if (!error) WriteFront();
}

void SupervisorPipe::ReleaseQueued() {
  for (const Outgoing& entry : outgoing_) queuedBytes_.fetch_sub(entry.size, std::memory_order_relaxed);
  outgoing_.clear();
}

}  // namespace supervisor
