// Starting and waiting for a child program: what the supervisor simulator
// needs to play the supervising daemon towards a core executable.
//
// [any-thread]: stateless wrappers.
#ifndef PLATFORM_CHILD_PROCESS_H_
#define PLATFORM_CHILD_PROCESS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Starts the program at `path` with `args` (argument 0 is `path`).  The
// descriptor `inherit_fd` (when not -1) is passed on under its own number;
// every other close-on-exec descriptor is not.  Returns the process id, or
// -1 with the reason in *error.
int64_t StartProcess(const std::string& path, const std::vector<std::string>& args,
                     int inherit_fd, std::string* error);

// Waits up to `timeout_ms` (negative: no limit) for the child to end.  True
// when it ended, with *status its exit code, or 128 + the signal number when
// a signal ended it.  False when it still runs (or cannot be waited for).
bool WaitProcess(int64_t pid, int timeout_ms, int* status);

// Sends signal number `signal` to the child.
void SignalProcess(int64_t pid, int signal);

}  // namespace platform

#endif  // PLATFORM_CHILD_PROCESS_H_
