// The file seam: every file-system call the configuration store makes goes
// through a FileOps, so that tests can break exactly one call (a failing
// write, a rename that does not happen, a lock held elsewhere) and watch what
// the store does about it.
//
// FileOps is abstract; DefaultFileOps() is the POSIX implementation, and
// FileOpsWrapper forwards every call to another FileOps so that a test
// derives from it and overrides only the call it breaks.
//
// Errors are reported as the errno value of the failing call (0 = success),
// or as a boost::system::error_code where Boost.Filesystem does the work.
//
// [any-thread]: the POSIX implementation keeps no state; a caller must not
// use one descriptor or stream from two threads at once.
#ifndef PLATFORM_FILE_OPS_H_
#define PLATFORM_FILE_OPS_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include <boost/system/error_code.hpp>

namespace platform {

class FileOps {
 public:
  virtual ~FileOps() = default;

  // Exclusive writes --------------------------------------------------------

  // Opens `path` for writing only (created with mode 0644 when missing,
  // close-on-exec, never through a symbolic link: a link planted there fails
  // with ELOOP; non-blocking, so a FIFO planted there fails too), takes an
  // exclusive non-blocking lock on it, checks that the locked file is still
  // the one named `path` (device and inode; a save that held it may have
  // renamed it meanwhile) and only then truncates it, so that a second
  // writer can neither truncate nor replace a file another save is still
  // writing.  Returns 0 and the descriptor in *fd, or the errno of the
  // step that failed (nothing is left open then).  *lockBusy is set when the
  // lock is held through another descriptor, or the file was renamed away
  // under the lock (both EWOULDBLOCK); the file has not been touched then.
  virtual int OpenExclusive(const std::string& path, int* fd, bool* lockBusy) = 0;
  // A second descriptor of the open file behind `fd` (dup, close-on-exec).
  // A lock taken through `fd` lasts until both are closed: a save closes the
  // descriptor it wrote through and still holds off other saves until its
  // swap is over.  0 or errno.
  virtual int HoldLock(int fd, int* holder) = 0;
  // Takes the same lock on the file already named `path`, without creating
  // or changing it (opened read-only, non-blocking, not through a link).
  // Returns 0 with *fd = -1 when nothing or only a symbolic link has that
  // name; EISDIR for a directory and EINVAL for any other file that is not a
  // regular one; *lockBusy (EWOULDBLOCK) when another descriptor holds it or
  // the name changed under the lock.
  virtual int LockExisting(const std::string& path, int* fd, bool* lockBusy) = 0;
  // One write() call.  Returns 0 with the count in *written (which may be
  // short), or errno with *written = 0.
  virtual int Write(int fd, const void* data, size_t size, size_t* written) = 0;
  // fsync(): 0 or errno.
  virtual int Sync(int fd) = 0;
  // close(): 0 or errno.  The descriptor is gone either way.
  virtual int Close(int fd) = 0;

  // Names -----------------------------------------------------------------

  // unlink(): 0 or errno (ENOENT when there was nothing to delete).
  virtual int Unlink(const std::string& path) = 0;
  // rename(): 0 or errno.
  virtual int Rename(const std::string& from, const std::string& to) = 0;
  // Makes the renames inside directory `path` durable (open + fsync):
  // 0 or errno.
  virtual int SyncDirectory(const std::string& path) = 0;

  // C streams ---------------------------------------------------------------

  // fopen().  For modes "r..." and "w..." only a regular file is opened:
  // opened without blocking (a FIFO never holds the caller up), EISDIR for a
  // directory and EINVAL for anything else; "w" creates with mode 0644,
  // truncates and never writes through a symbolic link (ELOOP).  Null with
  // the errno in *error.
  virtual std::FILE* OpenStream(const std::string& path, const char* mode, int* error) = 0;
  // The stream's length in bytes as fseek/ftell report it; -1 when unknown.
  virtual long StreamSize(std::FILE* file) = 0;
  // fread(buffer, size, 1, file) with errno cleared first.  Returns the
  // number of items read (0 or 1) and the errno noted after the call in
  // *error (0 when nothing went wrong, also for a short read).
  virtual size_t ReadItem(std::FILE* file, void* buffer, size_t size, int* error) = 0;
  // fclose(): 0 or errno.
  virtual int CloseStream(std::FILE* file) = 0;

  // Paths and directories (Boost.Filesystem) ------------------------------

  // The size of the file at `path`.
  virtual boost::system::error_code FileSize(const std::string& path, uintmax_t* size) = 0;
  // True when the status of `path` can be read and it exists.
  virtual bool Exists(const std::string& path) = 0;
  // Creates one directory level; an existing directory is fine.
  virtual boost::system::error_code CreateDirectory(const std::string& path) = 0;
  // Copies ------------------------------------------------------------------

  // Opens `path` read-only with O_NONBLOCK (so a FIFO or device never
  // blocks) and keeps it only when fstat shows a regular file: EISDIR for a
  // directory, EINVAL for anything else that opened.  0 or errno.
  virtual int OpenRegularFile(const std::string& path, int* fd) = 0;
  // Creates a new file named `prefix` followed by a unique suffix (O_EXCL,
  // so never through a link or onto an existing file; mode 0644, write-only,
  // close-on-exec).  0 with its name in *path and descriptor in *fd, or errno.
  virtual int CreateUnique(const std::string& prefix, std::string* path, int* fd) = 0;
  // Copies the rest of `from` to `to`: copy_file_range, or a read/write loop
  // where the kernel refuses that (EXDEV across filesystems, ENOSYS,
  // EOPNOTSUPP, EINVAL).  0 or the errno of the failing read or write.
  virtual int CopyData(int from, int to) = 0;

  // Calls `visit` with the file name of every entry of `path`, in the order
  // the listing gives them.  Returns the error when the directory cannot be
  // opened (nothing visited); an error after the first entry is thrown as
  // boost::filesystem::filesystem_error.
  virtual boost::system::error_code ListDirectory(
      const std::string& path, const std::function<void(const std::string& name)>& visit) = 0;
  // The process's current directory, or an empty text with *error set.
  virtual std::string CurrentDirectory(boost::system::error_code* error) = 0;
  virtual boost::system::error_code ChangeDirectory(const std::string& path) = 0;
};

// The process-wide POSIX implementation.
FileOps& DefaultFileOps();

// Forwards every call to `target`.  Tests derive from it and override the
// one call they break.
class FileOpsWrapper : public FileOps {
 public:
  explicit FileOpsWrapper(FileOps& target) : target_(target) {}

  int OpenExclusive(const std::string& path, int* fd, bool* lockBusy) override {
    return target_.OpenExclusive(path, fd, lockBusy);
  }
  int HoldLock(int fd, int* holder) override { return target_.HoldLock(fd, holder); }
  int LockExisting(const std::string& path, int* fd, bool* lockBusy) override {
    return target_.LockExisting(path, fd, lockBusy);
  }
  int Write(int fd, const void* data, size_t size, size_t* written) override {
    return target_.Write(fd, data, size, written);
  }
  int Sync(int fd) override { return target_.Sync(fd); }
  int Close(int fd) override { return target_.Close(fd); }
  int Unlink(const std::string& path) override { return target_.Unlink(path); }
  int Rename(const std::string& from, const std::string& to) override {
    return target_.Rename(from, to);
  }
  int SyncDirectory(const std::string& path) override { return target_.SyncDirectory(path); }
  std::FILE* OpenStream(const std::string& path, const char* mode, int* error) override {
    return target_.OpenStream(path, mode, error);
  }
  long StreamSize(std::FILE* file) override { return target_.StreamSize(file); }
  size_t ReadItem(std::FILE* file, void* buffer, size_t size, int* error) override {
    return target_.ReadItem(file, buffer, size, error);
  }
  int CloseStream(std::FILE* file) override { return target_.CloseStream(file); }
  boost::system::error_code FileSize(const std::string& path, uintmax_t* size) override {
    return target_.FileSize(path, size);
  }
  bool Exists(const std::string& path) override { return target_.Exists(path); }
  boost::system::error_code CreateDirectory(const std::string& path) override {
    return target_.CreateDirectory(path);
  }
  int OpenRegularFile(const std::string& path, int* fd) override {
    return target_.OpenRegularFile(path, fd);
  }
  int CreateUnique(const std::string& prefix, std::string* path, int* fd) override {
    return target_.CreateUnique(prefix, path, fd);
  }
  int CopyData(int from, int to) override { return target_.CopyData(from, to); }
  boost::system::error_code ListDirectory(
      const std::string& path,
      const std::function<void(const std::string& name)>& visit) override {
    return target_.ListDirectory(path, visit);
  }
  std::string CurrentDirectory(boost::system::error_code* error) override {
    return target_.CurrentDirectory(error);
  }
  boost::system::error_code ChangeDirectory(const std::string& path) override {
    return target_.ChangeDirectory(path);
  }

 private:
  FileOps& target_;
};

}  // namespace platform

#endif  // PLATFORM_FILE_OPS_H_
