// PayloadAllocator: where the bus's payload blocks come from and go back to.
// The write path takes one block per queued event and copies the payload
// into it; the block goes back when its last holder lets go, or at once when
// the event is not queued.  The default is the bus's own pools; tests put an
// allocator of their own here to run the bus out of memory as such.
//
// [any-thread]: Allocate and Free are called from writers, the dispatcher
// and block releases at once.
#ifndef EVENTBUS_PAYLOAD_ALLOCATOR_H_
#define EVENTBUS_PAYLOAD_ALLOCATOR_H_

#include <cstddef>

namespace eventbus {

class PayloadAllocator {
 public:
  virtual ~PayloadAllocator() = default;
  // A block of `size` bytes (size > 0), or nullptr when there is no memory.
  virtual void* Allocate(size_t size) = 0;
  // Takes back a block Allocate returned.
  virtual void Free(void* block) = 0;
  // Takes back `count` blocks at once: the dispatcher gives back a batch's
  // blocks together, so that an allocator with locks takes them once.
  virtual void FreeMany(void* const* blocks, size_t count) {
    for (size_t i = 0; i < count; ++i) Free(blocks[i]);
  }
};

}  // namespace eventbus

#endif  // EVENTBUS_PAYLOAD_ALLOCATOR_H_
