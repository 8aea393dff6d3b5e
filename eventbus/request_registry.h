// RequestRegistry: the live read requests and the pacing of their answers.
//
// A read request is broadcast to each matching reader on a request thread of
// its own.  While that thread runs, it has a WriterSlot here, keyed by its
// thread identifier: each answer with a payload it writes claims the slot
// with the answer's block, and the next answer waits until that block has
// been freed by its last holder (WakeWriters).  The producer thus runs at the
// pace of its slowest consumer, one answer in flight.
//
// The registry also keeps the cancelled request identifiers: a request-bound
// write under a cancelled identifier is refused until the identifier is
// broadcast again.
//
// [any-thread].  Lock order: the registry mutex, then a slot mutex; nothing
// else is ever locked under either.
#ifndef EVENTBUS_REQUEST_REGISTRY_H_
#define EVENTBUS_REQUEST_REGISTRY_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace eventbus {

// The pacing state of one live request thread.
class WriterSlot {
 public:
  // Waits while an earlier answer's block is in flight, then records `block`
  // as the one in flight.  [the slot's own request thread]
  void Claim(void* block);
  // Clears the slot and wakes its thread when `block` is the one in flight.
  void WakeIf(void* block);

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  void* pending_ = nullptr;  // guarded by mutex_
};

class RequestRegistry {
 public:
  RequestRegistry() = default;
  RequestRegistry(const RequestRegistry&) = delete;
  RequestRegistry& operator=(const RequestRegistry&) = delete;

  // Records a cancellation; writes under `requestID` are refused from now on.
  void Cancel(uint32_t requestID);
  // Makes `requestID` live again: it is being broadcast (again).
  void Reissue(uint32_t requestID);

  // The slot through which the calling request thread `threadId` paces an
  // answer to `requestID`, or null when the request is cancelled or the
  // thread is not a live request thread.  The slot stays valid until that
  // same thread unregisters, so only the thread itself may use it.
  WriterSlot* SlotFor(uint32_t requestID, uint32_t threadId);

  // on: gives the thread a slot unless it has one.  off: destroys its slot,
  // if any; a block still pending there is no longer watched.
  void RegisterRequestThread(uint32_t threadId, bool on);

  // Called after a block's last holder let go: wakes the writer whose answer
  // it was.  Null is ignored.
  void WakeWriters(void* block);

  size_t SlotCount() const;

 private:
  mutable std::mutex mutex_;
  std::set<uint32_t> cancelled_;                            // guarded by mutex_
  std::map<uint32_t, std::unique_ptr<WriterSlot>> slots_;   // guarded by mutex_
  // Mirror of slots_.size(), read without the mutex so that freeing a block
  // costs no lock while no request thread is alive (the common case).
  std::atomic<size_t> slotCount_{0};
};

}  // namespace eventbus

#endif  // EVENTBUS_REQUEST_REGISTRY_H_
