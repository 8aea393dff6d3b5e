// Helpers shared by the configuration store's tests: a scratch directory,
// a file seam that breaks the call a test names, and a log writer that
// records what the code under test logs.
#ifndef CONFIGSTORE_CONFIGSTORE_TEST_SUPPORT_H_
#define CONFIGSTORE_CONFIGSTORE_TEST_SUPPORT_H_

#include <cerrno>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>

#include "platform/file_ops.h"
#include "recording-core/plugin_abi.h"
#include "tests/recording_writer.h"

namespace configstore::testing {

namespace fs = boost::filesystem;

struct TempDir {
  fs::path path = fs::temp_directory_path() / fs::unique_path("configstore-%%%%-%%%%-%%%%");
  TempDir() { fs::create_directories(path); }
  ~TempDir() {
    boost::system::error_code ignored;
    fs::remove_all(path, ignored);
  }
  std::string operator/(const std::string& name) const { return (path / name).string(); }
  std::string str() const { return path.string(); }
};

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
inline std::set<std::string> Entries(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// The POSIX seam, except that the call named by `fail` ("create", "hold
// lock", "lock target", "write", "short write", "fsync", "close", "sync
// directory", "unlink", "rename", "open", "read", "open source", "create
// unique", "copy data", "create directory") fails with `error` -- only on
// `failPath` when that is set, only the first `failTimes` times when that is
// not negative.  A set
// `current` is the pretended current directory.
// With `crashAfter` set, the disk freezes after that many changing calls, as
// a crash there would leave it: every later call that would change a file
// fails, and with `tear` the write at the crash point writes half its bytes.
class TestFiles : public platform::FileOpsWrapper {
 public:
  TestFiles() : FileOpsWrapper(platform::DefaultFileOps()) {}

  std::string fail, failPath;
  int error = EIO;
  int failTimes = -1;
  int hits = 0;             // calls of the named kind seen so far
  uintmax_t extraSize = 0;  // files seem this much larger than they are
  std::string current;
  int crashAfter = -1;
  bool tear = false;
  int changes = 0;

  bool Crashed() const { return crashAfter >= 0 && changes > crashAfter; }

  int OpenExclusive(const std::string& path, int* fd, bool* lockBusy) override {
    return Hit("create", path) || Change() ? error
                                           : FileOpsWrapper::OpenExclusive(path, fd, lockBusy);
  }
  int HoldLock(int fd, int* holder) override {
    return Hit("hold lock") ? error : FileOpsWrapper::HoldLock(fd, holder);
  }
  int LockExisting(const std::string& path, int* fd, bool* lockBusy) override {
    return Hit("lock target", path) ? error : FileOpsWrapper::LockExisting(path, fd, lockBusy);
  }
  int OpenRegularFile(const std::string& path, int* fd) override {
    return Hit("open source", path) ? error : FileOpsWrapper::OpenRegularFile(path, fd);
  }
  int CreateUnique(const std::string& prefix, std::string* path, int* fd) override {
    return Hit("create unique") ? error : FileOpsWrapper::CreateUnique(prefix, path, fd);
  }
  int CopyData(int from, int to) override {
    return Hit("copy data") ? error : FileOpsWrapper::CopyData(from, to);
  }
  int Write(int fd, const void* data, size_t size, size_t* written) override {
    if (Hit("write") || Change()) {
      if (tear && changes == crashAfter + 1) FileOpsWrapper::Write(fd, data, size / 2, written);
      return *written = 0, error;
    }
    return FileOpsWrapper::Write(fd, data, Hit("short write") ? size - 1 : size, written);
  }
  int Sync(int fd) override { return Hit("fsync") || Crashed() ? error : FileOpsWrapper::Sync(fd); }
  int Close(int fd) override {
    const int result = FileOpsWrapper::Close(fd);
    return Hit("close") ? error : result;
  }
  int SyncDirectory(const std::string& path) override {
    return Hit("sync directory") || Crashed() ? error : FileOpsWrapper::SyncDirectory(path);
  }
  int Unlink(const std::string& path) override {
    return Hit("unlink", path) || Change() ? error : FileOpsWrapper::Unlink(path);
  }
  int Rename(const std::string& from, const std::string& to) override {
    return Hit("rename", from) || Change() ? error : FileOpsWrapper::Rename(from, to);
  }
  std::FILE* OpenStream(const std::string& path, const char* mode, int* result) override {
    if (Hit("open", path)) return *result = error, nullptr;
    return FileOpsWrapper::OpenStream(path, mode, result);
  }
  size_t ReadItem(std::FILE* file, void* buffer, size_t size, int* result) override {
    if (Hit("read")) return *result = error, 0;
    return FileOpsWrapper::ReadItem(file, buffer, size, result);
  }
  boost::system::error_code FileSize(const std::string& path, uintmax_t* size) override {
    const boost::system::error_code result = FileOpsWrapper::FileSize(path, size);
    *size += extraSize;
    return result;
  }
  boost::system::error_code CreateDirectory(const std::string& path) override {
    if (Hit("create directory", path)) return {error, boost::system::system_category()};
    return FileOpsWrapper::CreateDirectory(path);
  }
  std::string CurrentDirectory(boost::system::error_code* result) override {
    if (current.empty()) return FileOpsWrapper::CurrentDirectory(result);
    result->clear();
    return current;
  }

 private:
  bool Change() { return crashAfter >= 0 && ++changes > crashAfter; }
  bool Hit(const char* kind, const std::string& path = std::string()) {
    if (fail != kind || (!failPath.empty() && path != failPath)) return false;
    return failTimes < 0 || ++hits <= failTimes;
  }
};

// The tests' recording writer, which passes every message whatever its
// level, and what it recorded since the last TakeLog as (level, text).
using Lines = std::vector<std::pair<int32_t, std::string>>;
inline int32_t RecordLog(const CoreEvent* event, WriteResult* result) {
  return testing_writer::RecordingWriter::Write(event, result);
}
inline Lines TakeLog() {
  Lines lines;
  for (const testing_writer::Written& w : testing_writer::RecordingWriter::Instance().TakeMessages())
    lines.emplace_back(w.level, w.text);
  return lines;
}

}  // namespace configstore::testing

#endif  // CONFIGSTORE_CONFIGSTORE_TEST_SUPPORT_H_
