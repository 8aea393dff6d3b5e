#include "platform/special_files.h"

#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

int MakeFifo(const std::string& path) { return mkfifo(path.c_str(), 0644) == 0 ? 0 : errno; }

int MakeSocketEntry(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return ENAMETOOLONG;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  const int result =
      bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
  close(fd);
  return result;
}

bool RunsAsRoot() { return geteuid() == 0; }

int MountTmpfs(const std::string& path, size_t bytes) {
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  return mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0
             ? 0
             : errno;
}

int Unmount(const std::string& path) { return umount2(path.c_str(), MNT_DETACH) == 0 ? 0 : errno; }

}  // namespace platform
