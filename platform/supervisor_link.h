// Descriptor operations around the supervisor link: the stream socket pair a
// supervisor creates, blocking reads and writes on it, and the few checks
// and set-ups the core's end needs.  The supervisor simulator and the link's
// tests use the creation and blocking I/O calls; the core itself uses only
// IgnoreBrokenPipeSignal beside the checks in platform.h.
//
// [any-thread]: every function is a stateless wrapper.
#ifndef PLATFORM_SUPERVISOR_LINK_H_
#define PLATFORM_SUPERVISOR_LINK_H_

#include <cstddef>
#include <cstdint>

namespace platform {

// Creates a connected pair of AF_UNIX stream sockets, both close-on-exec.
// False (and both -1) on failure.
bool CreateStreamSocketPair(int* first, int* second);
// Creates a pipe(2), both ends close-on-exec: a byte channel that is not a
// socket, which the link must refuse.
bool CreatePipe(int* read_end, int* write_end);
// An unconnected AF_UNIX datagram socket, close-on-exec; -1 on failure.
int CreateDatagramSocket();
// Closes the descriptor; errors are ignored.
void CloseDescriptor(int fd);
// Shuts the socket down for reading, writing or both.  A thread blocked in a
// read of it returns with end-of-stream.
void ShutdownSocket(int fd, bool reading, bool writing);
// Clears close-on-exec, so that a started program inherits the descriptor.
void ClearCloseOnExec(int fd);
bool IsCloseOnExec(int fd);

// Reads at most `size` bytes, waiting at most `timeout_ms` (negative: no
// limit).  Returns the byte count, 0 at end of stream, -1 on error and -2
// when the time ran out.  Interrupted waits are resumed.
int64_t ReadSome(int fd, void* data, size_t size, int timeout_ms);
// Writes all bytes, resuming after short writes.  Writing to a socket whose
// peer is gone fails with false instead of raising SIGPIPE.
bool WriteAll(int fd, const void* data, size_t size);

// Makes writes to a broken pipe or socket fail with EPIPE instead of ending
// the process with SIGPIPE.  Process-wide and idempotent.
void IgnoreBrokenPipeSignal();

}  // namespace platform

#endif  // PLATFORM_SUPERVISOR_LINK_H_
