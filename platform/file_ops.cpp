// The POSIX implementation of the file seam.
#include "platform/file_ops.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include <boost/filesystem.hpp>

namespace platform {
namespace {

namespace fs = boost::filesystem;

class PosixFileOps final : public FileOps {
 public:
  int OpenExclusive(const std::string& path, int* fd, bool* lockBusy) override {
    *fd = -1;
    *lockBusy = false;
    // No O_TRUNC: the file may belong to a save still under way, and only
    // the holder of the lock may cut it.
    const int opened = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (opened < 0) return errno;
    if (flock(opened, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      close(opened);
      *lockBusy = error == EWOULDBLOCK;
      return error;
    }
    if (ftruncate(opened, 0) != 0) {
      const int error = errno;
      close(opened);
      return error;
    }
    *fd = opened;
    return 0;
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
    errno = 0;
    std::FILE* file = std::fopen(path.c_str(), mode);
    *error = file != nullptr ? 0 : errno;
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

  boost::system::error_code CopyFile(const std::string& from, const std::string& to) override {
    boost::system::error_code error;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
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
