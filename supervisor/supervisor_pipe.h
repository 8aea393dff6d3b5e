// SupervisorPipe: the core's end of the link to its supervising daemon.
//
// It owns the attached stream descriptor (an inherited AF_UNIX stream
// socket), the fixed 65,536-byte receive buffer with its fill count, the
// queue of outgoing buffers, and what the daemon said about itself: its file
// name, its version and the background flag.
//
// Incoming bytes are cut into packets by their 16-byte PipePacketHeader.
// Kind 7 stores the daemon's information, kind 8 requests a stop, any other
// packet goes whole, in place, to the IOCTL entry (code 4) of the first
// plugin whose module number the header's target names.  Outgoing buffers
// are packets that plugins submitted; they are written unchanged, one at a
// time, in submission order, and freed afterwards.
//
// Threads: Open, StartReading and ReleaseQueued run on the main thread while
// no other thread runs the I/O service (before the I/O thread starts, after
// it is joined).  Read and write completions, the framing, the ipc ioctl
// calls and the outgoing queue live on the I/O thread only and take no lock.
// Submit, IsOpen and Background may be called from any thread.  The file
// name and version are written on the I/O thread and read from any thread
// under the pipe's own lock.
#ifndef SUPERVISOR_SUPERVISOR_PIPE_H_
#define SUPERVISOR_SUPERVISOR_PIPE_H_

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include "base/log_interval.h"
#include "recording-core/plugin_abi.h"
#include "pluginhost/plugin_info.h"
#include "supervisor/packet_framer.h"

namespace supervisor {

// What the pipe needs from the core object.  The core object implements it;
// tests implement a fake.
class PipeHost {
 public:
  virtual ~PipeHost() = default;
  // Sets the stop flag and wakes the dispatcher.  [io-thread]
  virtual void RequestStop() = 0;
  // Runs fn under the queue mutex, then notifies one waiter on the queue's
  // condition variable (ends the start-up wait).  [io-thread]
  virtual void NotifyUnderQueueMutex(const std::function<void()>& fn) = 0;
  // The write callback that the pipe's log lines go through.  [any-thread]
  virtual CoreWriteFn Writer() = 0;
  // The loaded plugins, in list order.  [io-thread]
  virtual pluginhost::PluginList& Plugins() = 0;
};

class SupervisorPipe : private PacketFramer::Sink {
 public:
  // Bytes that may wait in the outgoing queue.  A daemon that does not read
  // must not make the core queue without bound; past the budget packets are
  // refused.
  static constexpr uint64_t kSendBudget = 64ull << 20;
  // The refusal line is written at most once per this interval.
  static constexpr int64_t kRefusalLineIntervalNs = 5'000'000'000;

  // `detach` is what background mode does to the console, once; tests pass
  // a recorder instead of the real detach.
  SupervisorPipe(boost::asio::io_context& io, PipeHost& host,
                 std::function<void()> detach = DefaultDetach());
  SupervisorPipe(const SupervisorPipe&) = delete;
  SupervisorPipe& operator=(const SupervisorPipe&) = delete;
  // Closes a descriptor that is still open.  The I/O service must not be
  // running any more: an outstanding read is abandoned, not completed.
  ~SupervisorPipe();

  // Attaches the inherited descriptor `handle`.  -1 means there is no
  // supervisor: nothing is attached and the result is true.  Any other value
  // must be an open SOCK_STREAM socket above 2; it is then attached to the
  // I/O service and made close-on-exec.  On failure the pipe logs "failed to
  // open ipc pipe" (level 100) itself and returns false; the caller only
  // reports that initialisation failed.  [main]
  bool Open(int64_t handle);

  // True while a descriptor is attached and not lost.  [any-thread]
  bool IsOpen() const { return open_.load(std::memory_order_acquire); }

  // Issues the first read; each completion issues the next.  Does nothing
  // without a pipe.  [main], after the plugins are loaded.
  void StartReading();

  // Takes ownership of `data`, a malloc'ed complete packet of `size` bytes,
  // for writing to the supervisor.  Returns 1 and frees the buffer at once
  // when there is no pipe (or it was lost), when `size` is negative, when
  // `data` is null with a positive size, or when the packet would take the
  // bytes waiting to be written past kSendBudget (then a level-75 line says
  // so, at most once per kRefusalLineIntervalNs).  Otherwise posts the
  // append to the I/O thread and returns 0.  [any-thread]
  int32_t Submit(void* data, int64_t size);

  // Frees every buffer still waiting in the outgoing queue, unwritten.
  // [main], after the I/O thread is joined.
  void ReleaseQueued();

  // The supervisor's file name and version from its last information
  // message; empty until one arrives.  See the threads note above.
  std::string FileName() const {
    std::lock_guard<std::mutex> lock(infoMutex_);
    return file_name_;
  }
  std::string Version() const {
    std::lock_guard<std::mutex> lock(infoMutex_);
    return version_;
  }
  // Set by the third field of an information message; while set, the
  // console sink writes nothing.  [any-thread]
  bool Background() const { return background_.load(std::memory_order_acquire); }

 private:
  struct FreeDeleter {
    void operator()(void* data) const { std::free(data); }
  };
  using Buffer = std::unique_ptr<void, FreeDeleter>;
  struct Outgoing {
    Buffer data;
    size_t size;
  };

  static std::function<void()> DefaultDetach();

  void ReadNext();                                             // [io-thread]
  void OnRead(const boost::system::error_code& error, size_t bytes);
  void OnPacket(const PipePacketHeader& header, unsigned char* packet) override;
  void OnBadLength(uint32_t length, uint64_t dropped) override;
  void StoreInformation(const unsigned char* packet, uint32_t length);
  void ForwardToPlugin(const PipePacketHeader& header, unsigned char* packet);
  void Disconnect();
  // Counts `size` bytes in, unless that would pass kSendBudget.
  bool ReserveSend(uint64_t size);
  void Append(Buffer data, size_t size);
  void WriteFront();
  void OnWritten(const boost::system::error_code& error);

  boost::asio::io_context& io_;
  PipeHost& host_;
  std::function<void()> detach_;
  boost::asio::posix::stream_descriptor descriptor_;
  std::atomic<bool> open_{false};

  // Receive side, [io-thread] only: the receive buffer and its fill count.
  PacketFramer framer_;

  // Send side, [io-thread] only; the front entry is the one being written.
  std::deque<Outgoing> outgoing_;
  // Bytes submitted and not yet written or released.  [any-thread]
  std::atomic<uint64_t> queuedBytes_{0};
  base::LogInterval refusalLine_{kRefusalLineIntervalNs};

  // The daemon's name and version, written [io-thread], read [any-thread].
  mutable std::mutex infoMutex_;
  std::string file_name_;  // guarded by infoMutex_
  std::string version_;    // guarded by infoMutex_
  std::atomic<bool> background_{false};
  bool detached_ = false;  // [io-thread]: the console is given up only once
};

}  // namespace supervisor

#endif  // SUPERVISOR_SUPERVISOR_PIPE_H_
