#include "configstore/atomic_save.h"

#include <cerrno>

#include <boost/filesystem/path.hpp>

#include "configstore/xml_document.h"

namespace configstore {
namespace {

std::string DirectoryOf(const std::string& path) {
  const boost::filesystem::path parent = boost::filesystem::path(path).parent_path();
  return parent.empty() ? std::string(".") : parent.string();
}

// Deleting or moving away something that is not there is not a failure:
// the first save has no target, and a clean directory has no backup.
bool GoneOrAbsent(int error) { return error == 0 || error == ENOENT; }

// What a save holds while it runs: the lock on its pending file (through a
// second descriptor, so the one written through closes as usual and the
// lock still covers the whole swap) and the lock on the target it replaces,
// which a save that has just put it there may still hold.  While both are
// held no other save can create, truncate, delete or rename either file;
// the pending file is deleted, when it must be, before its lock goes.
class SaveLocks {
 public:
  explicit SaveLocks(platform::FileOps& files) : files_(files) {}
  ~SaveLocks() {
    if (pending_ >= 0) files_.Close(pending_);
    if (target_ >= 0) files_.Close(target_);
  }
  SaveLocks(const SaveLocks&) = delete;
  SaveLocks& operator=(const SaveLocks&) = delete;

  // Opens the pending file and takes both locks.  Returns the descriptor to
  // write through, or -1 with the failure text in *failure and, in *ours,
  // whether the pending file is this save's to delete.
  int Take(const std::string& pending, const std::string& path, std::string* failure,
           bool* ours) {
    int fd = -1;
    bool busy = false;
    *ours = false;
    if (const int error = files_.OpenExclusive(pending, &fd, &busy); error != 0) {
      // A pending file another save holds is that save's; anything else
      // that failed to open (a planted link, say) goes.
      *ours = !busy;
      *failure = "create error " + std::to_string(error);
      return -1;
    }
    *ours = true;
    if (const int error = files_.HoldLock(fd, &pending_); error != 0) {
      *failure = "create error " + std::to_string(error);
    } else if (const int targetError = files_.LockExisting(path, &target_, &busy);
               targetError != 0) {
      // A target held by a save still finishing refuses this save as a held
      // pending file does; a target that is not a file cannot be swapped.
      *failure = busy ? "create error " + std::to_string(targetError) : kSwapFailedText;
    }
    if (failure->empty()) return fd;
    // Deleted while still locked through `fd`, so no other save's file is hit.
    files_.Unlink(pending);
    files_.Close(fd);
    *ours = false;
    return -1;
  }

 private:
  platform::FileOps& files_;
  int pending_ = -1;
  int target_ = -1;
};

// Writes `text` through `fd` and closes it.  Returns the failure text,
// empty on success.
std::string WritePending(int fd, const std::string& text, platform::FileOps& files) {
  std::string failure;
  size_t written = 0;
  if (const int error = files.Write(fd, text.data(), text.size(), &written); error != 0) {
    failure = "write error " + std::to_string(error);
  } else if (const int syncError = files.Sync(fd); syncError != 0) {
    // The data is not known to be on the disk; a retried fsync could report
    // success for pages the kernel has already dropped, so this save fails.
    failure = "write error " + std::to_string(syncError);
  }
  if (const int error = files.Close(fd); error != 0 && failure.empty()) {
    failure = "close error " + std::to_string(error);
  }
  if (failure.empty() && written != text.size()) {
    failure = "only wrote " + std::to_string(written) + " of " + std::to_string(text.size()) +
              " bytes";
  }
  return failure;
}

bool Fail(TiXmlDocument& document, const std::string& failure) {
  SetXmlError(document, kSaveErrorId, failure, false);
  return false;
}

}  // namespace

bool SaveFileAtomic(TiXmlDocument& document, const std::string& path,
                    platform::FileOps& files) {
  const std::string text = PrintXmlIndented(document);
  const std::string pending = PendingName(path);
  const std::string backup = BackupName(path);

  SaveLocks locks(files);
  std::string failure;
  bool ours = false;
  const int fd = locks.Take(pending, path, &failure, &ours);
  if (fd < 0) {
    if (ours) files.Unlink(pending);
    return Fail(document, failure);
  }
  failure = WritePending(fd, text, files);
  if (!failure.empty()) {
    files.Unlink(pending);
    return Fail(document, failure);
  }

  // The swap never relies on rename replacing a file: each destination has
  // been deleted or moved away before its rename.
  if (!GoneOrAbsent(files.Unlink(backup)) || !GoneOrAbsent(files.Rename(path, backup))) {
    files.Unlink(pending);
    return Fail(document, kSwapFailedText);
  }
  if (files.Rename(pending, path) != 0) {
    files.Unlink(pending);
    files.Rename(backup, path);  // fails harmlessly when there was no target
    return Fail(document, kSwapFailedText);
  }
  // The renames are durable only once their directory is synced.  Until then
  // the backup is the copy a crash may fall back on, so it stays when the
  // sync fails; the next load that finds the target deletes it.
  if (files.SyncDirectory(DirectoryOf(path)) == 0) files.Unlink(backup);
  return true;
}

bool LoadFileWithBackup(TiXmlDocument& document, const std::string& path,
                        platform::FileOps& files) {
  const std::string backup = BackupName(path);
  if (LoadXmlFile(document, path, files)) {
    files.Unlink(backup);
    return true;
  }
  if (LoadXmlFile(document, backup, files)) {
    files.Unlink(path);
    files.Rename(backup, path);
    return true;
  }
  return false;
}

bool SaveFilePlain(const TiXmlDocument& document, const std::string& path,
                   platform::FileOps& files) {
  int error = 0;
  std::FILE* file = files.OpenStream(path, "w", &error);
  if (file == nullptr) return false;
  const bool written = document.SaveFile(file);
  const bool closed = files.CloseStream(file) == 0;
  return written && closed;
}

}  // namespace configstore
