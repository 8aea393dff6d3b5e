// Builders of the request and reply blocks the core hands to plugin entry
// points: each block zero-filled, with its size, version and the preset
// words its call needs.  One place, so every call site fills them alike.
#ifndef PLUGINHOST_PLUGIN_BLOCKS_H_
#define PLUGINHOST_PLUGIN_BLOCKS_H_

#include <cstring>

#include "recording-core/plugin_abi.h"

namespace pluginhost {

template <typename Block>
Block ZeroBlock(uint32_t version) {
  Block block;
  std::memset(&block, 0, sizeof block);
  block.structSize = sizeof(Block);
  block.version = version;
  return block;
}

inline LoadRequest MakeLoadRequest(CoreContext* context, CoreWriteFn write) {
  LoadRequest request = ZeroBlock<LoadRequest>(3);
  request.context = context;
  request.write = write;
  return request;
}
inline LoadReply MakeLoadReply() { return ZeroBlock<LoadReply>(2); }

inline OpenRequest MakeOpenRequest(uint32_t mode) {
  OpenRequest request = ZeroBlock<OpenRequest>(1);
  request.mode = mode;
  return request;
}
inline OpenReply MakeOpenReply() { return ZeroBlock<OpenReply>(1); }

// A read request; the start-up call has no data and requestID 0.
inline ReadRequest MakeReadRequest(uint32_t dataSize, const void* data, uint32_t requestID) {
  ReadRequest request = ZeroBlock<ReadRequest>(1);
  request.flag = 1;
  request.dataSize = dataSize;
  request.data = data;
  request.requestID = requestID;
  return request;
}
inline ReadReply MakeReadReply() { return ZeroBlock<ReadReply>(1); }

// An IOCTL request carrying `length` bytes at `data`.  The run call (code 1)
// carries nothing: only the buffer descriptor's header is filled, as {8, 1}.
inline IoctlRequest MakeIoctlRequest(uint32_t code, void* data, uint32_t length) {
  IoctlRequest request = ZeroBlock<IoctlRequest>(1);
  request.code = code;
  request.buffer.version = 1;
  if (code == IOCTL_RUN) {
    request.buffer.structSize = sizeof(BlockHeader);
  } else {
    request.buffer.structSize = sizeof(BufferDescriptor);
    request.buffer.length = length;
    request.buffer.data = data;
  }
  return request;
}
inline IoctlReply MakeIoctlReply(uint32_t code) {
  IoctlReply reply = ZeroBlock<IoctlReply>(1);
  reply.code = code;
  reply.nested.structSize = sizeof(BlockHeader);
  reply.nested.version = 1;
  return reply;
}

inline WriteReply MakeWriteReply() { return ZeroBlock<WriteReply>(1); }

}  // namespace pluginhost

#endif  // PLUGINHOST_PLUGIN_BLOCKS_H_
