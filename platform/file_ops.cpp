// The POSIX implementation of the file seam.
#include "platform/file_ops.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include <boost/filesystem.hpp>

namespace platform {
namespace {

namespace fs = boost::filesystem;

// True when `fd` is the file that `path` names right now (no link followed).
bool StillNamed(int fd, const std::string& path) {
  struct stat opened {}, named {};
  return fstat(fd, &opened) == 0 && lstat(path.c_str(), &named) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// Takes the exclusive lock on `fd` and checks it still holds the file named
// `path`.  0, or the errno with *lockBusy telling a lock held elsewhere; a
// file renamed away under the lock counts as held: whoever renamed it owns it.
int LockNamed(int fd, const std::string& path, bool* lockBusy) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    *lockBusy = error == EWOULDBLOCK;
    return error;
  }
  if (!StillNamed(fd, path)) {
    *lockBusy = true;
    return EWOULDBLOCK;
  }
  return 0;
}

int CloseAfter(int fd, int error) {
  close(fd);
  return error;
}

// Where copy_file_range cannot serve these two files, plain reads and
// writes can.
bool CopyRangeRefused(int error) {
  return error == EXDEV || error == ENOSYS || error == EOPNOTSUPP || error == EINVAL;
}

int ReadWriteLoop(int from, int to) {
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t count = read(from, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return errno;
    if (count == 0) return 0;
    for (ssize_t done = 0; done < count;) {
      const ssize_t written = write(to, buffer + done, static_cast<size_t>(count - done));
      if (written < 0 && errno == EINTR) continue;
      if (written < 0) return errno;
      done += written;
    }
  }
}

class PosixFileOps final : public FileOps {
 public:
  int OpenExclusive(const std::string& path, int* fd, bool* lockBusy) override {
    *fd = -1;
    *lockBusy = false;
    // No O_TRUNC: the file may belong to a save still under way, and only
    // the holder of the lock may cut it.
    const int opened =
        open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (opened < 0) return errno;
    if (const int error = LockNamed(opened, path, lockBusy); error != 0) {
      return CloseAfter(opened, error);
    }
    if (ftruncate(opened, 0) != 0) return CloseAfter(opened, errno);
    *fd = opened;
    return 0;
  }

  int HoldLock(int fd, int* holder) override {
    *holder = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    return *holder >= 0 ? 0 : errno;
  }

  int LockExisting(const std::string& path, int* fd, bool* lockBusy) override {
    *fd = -1;
    *lockBusy = false;
    struct stat named {};
    if (lstat(path.c_str(), &named) != 0) return errno == ENOENT ? 0 : errno;
    if (S_ISLNK(named.st_mode)) return 0;  // a name only: the swap moves the link
    if (S_ISDIR(named.st_mode)) return EISDIR;
    if (!S_ISREG(named.st_mode)) return EINVAL;
    const int opened = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (opened < 0) return errno == ENOENT ? 0 : errno;
    if (const int error = LockNamed(opened, path, lockBusy); error != 0) {
      return CloseAfter(opened, error);
    }
    *fd = opened;
    return 0;
  }

  int OpenRegularFile(const std::string& path, int* fd) override {
    *fd = -1;
    const int opened = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (opened < 0) return errno;
    struct stat status {};
    if (fstat(opened, &status) != 0) return CloseAfter(opened, errno);
    if (S_ISDIR(status.st_mode)) return CloseAfter(opened, EISDIR);
    if (!S_ISREG(status.st_mode)) return CloseAfter(opened, EINVAL);
    *fd = opened;
    return 0;
  }

  int CreateUnique(const std::string& prefix, std::string* path, int* fd) override {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
      *path = prefix + std::to_string(getpid()) + "-" + std::to_string(counter++);
      *fd = open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (*fd >= 0) return 0;
      if (errno != EEXIST) return errno;
    }
    return EEXIST;
  }

  int CopyData(int from, int to) override {
    for (;;) {
      const ssize_t copied = copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
      if (copied == 0) return 0;
      if (copied > 0) continue;
      if (errno == EINTR) continue;
      // Both offsets stand where the copied part ends, so a refused range
      // goes on from there with plain reads and writes.
      return CopyRangeRefused(errno) ? ReadWriteLoop(from, to) : errno;
    }
  }

  int Write(int fd, const void* data, size_t size, size_t* written) override {
    const ssize_t count = write(fd, data, size);
    if (count < 0) {
      *written = 0;
      return errno;
    }
    *written = static_cast<size_t>(count);
    return 0;
  }

  int Sync(int fd) override { return fsync(fd) == 0 ? 0 : errno; }

  int Close(int fd) override { return close(fd) == 0 ? 0 : errno; }

  int Unlink(const std::string& path) override {
    return unlink(path.c_str()) == 0 ? 0 : errno;
  }

  int Rename(const std::string& from, const std::string& to) override {
    return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  }

  int SyncDirectory(const std::string& path) override {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int result = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    return result;
  }

  std::FILE* OpenStream(const std::string& path, const char* mode, int* error) override {
    if (mode[0] != 'r' && mode[0] != 'w') {
      errno = 0;
      std::FILE* file = std::fopen(path.c_str(), mode);
      *error = file != nullptr ? 0 : errno;
      return file;
    }
    // Documents are regular files.  Opened without blocking and checked, so
    // that a FIFO or device by a document's name fails here instead of
    // holding up start-up or a save for good; a save never follows a link.
    const bool reading = mode[0] == 'r';
    const int flags = reading ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW;
    const int fd = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return *error = errno, nullptr;
    struct stat status {};
    if (fstat(fd, &status) != 0) return *error = CloseAfter(fd, errno), nullptr;
    if (!S_ISREG(status.st_mode)) {
      return *error = CloseAfter(fd, S_ISDIR(status.st_mode) ? EISDIR : EINVAL), nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* file = fdopen(fd, mode);
    if (file == nullptr) return *error = CloseAfter(fd, errno), nullptr;
    *error = 0;
    return file;
  }

  long StreamSize(std::FILE* file) override {
    if (std::fseek(file, 0, SEEK_END) != 0) return -1;
    const long length = std::ftell(file);
    if (std::fseek(file, 0, SEEK_SET) != 0) return -1;
    return length;
  }

  size_t ReadItem(std::FILE* file, void* buffer, size_t size, int* error) override {
    errno = 0;
    const size_t items = std::fread(buffer, size, 1, file);
    *error = errno;
    return items;
  }

  int CloseStream(std::FILE* file) override { return std::fclose(file) == 0 ? 0 : errno; }

  boost::system::error_code FileSize(const std::string& path, uintmax_t* size) override {
    boost::system::error_code error;
    const uintmax_t result = fs::file_size(path, error);
    // Boost reports a directory as "Operation not permitted"; say what it is.
    if (error == boost::system::errc::operation_not_permitted && fs::is_directory(path)) {
      error = boost::system::errc::make_error_code(boost::system::errc::is_a_directory);
    }
    *size = error ? 0 : result;
    return error;
  }

  bool Exists(const std::string& path) override {
    boost::system::error_code error;
    return fs::exists(path, error) && !error;
  }

  boost::system::error_code CreateDirectory(const std::string& path) override {
    boost::system::error_code error;
    fs::create_directory(path, error);
    return error;
  }

  boost::system::error_code ListDirectory(
      const std::string& path,
      const std::function<void(const std::string& name)>& visit) override {
    boost::system::error_code error;
    fs::directory_iterator entry(path, error);
    if (error) return error;
    // The increment throws: a listing that breaks off half-way is not
    // something the caller can tell from an empty directory otherwise.
    for (; entry != fs::directory_iterator(); ++entry) {
      visit(entry->path().filename().string());
    }
    return error;
  }

  std::string CurrentDirectory(boost::system::error_code* error) override {
    error->clear();
    const fs::path current = fs::current_path(*error);
    return *error ? std::string() : current.string();
  }

  boost::system::error_code ChangeDirectory(const std::string& path) override {
    boost::system::error_code error;
    fs::current_path(path, error);
    return error;
  }
};

}  // namespace

FileOps& DefaultFileOps() {
  static PosixFileOps instance;
  return instance;
}

}  // namespace platform
