// Entries that are not regular files, and filesystems of their own, for the
// tests that check what the configuration store does when it meets them in
// its directories: a FIFO or socket where a document or side file should
// be, a backup directory on another filesystem.
//
// [any-thread]: each call is one system call or two.
#ifndef PLATFORM_SPECIAL_FILES_H_
#define PLATFORM_SPECIAL_FILES_H_

#include <cstddef>
#include <string>

namespace platform {

// mkfifo with mode 0644: 0 or errno.
int MakeFifo(const std::string& path);
// Binds a Unix socket to `path` and closes it, leaving the socket entry:
// 0 or errno.
int MakeSocketEntry(const std::string& path);
// True when the process runs as root (may mount).
bool RunsAsRoot();
// Mounts a tmpfs of `bytes` on the directory `path`: 0 or errno.
int MountTmpfs(const std::string& path, size_t bytes);
// Unmounts `path` (lazily, so that a test that failed half-way still
// cleans up): 0 or errno.
int Unmount(const std::string& path);

}  // namespace platform

#endif  // PLATFORM_SPECIAL_FILES_H_
