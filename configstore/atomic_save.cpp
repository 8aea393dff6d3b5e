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

// Writes `text` to the pending file.  Returns the failure text, empty on
// success.  *lockBusy tells that another save holds the pending file.
std::string WritePending(const std::string& pending, const std::string& text,
                         platform::FileOps& files, bool* lockBusy) {
  int fd = -1;
  if (const int error = files.OpenExclusive(pending, &fd, lockBusy); error != 0) {
    return "create error " + std::to_string(error);
  }
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

}  // namespace

bool SaveFileAtomic(TiXmlDocument& document, const std::string& path,
                    platform::FileOps& files) {
  const std::string text = PrintXmlIndented(document);
  const std::string pending = PendingName(path);
  const std::string backup = BackupName(path);

  bool lockBusy = false;
  const std::string failure = WritePending(pending, text, files, &lockBusy);
  if (!failure.empty()) {
    // A pending file locked by another save is that save's; leave it.
    if (!lockBusy) files.Unlink(pending);
    SetXmlError(document, kSaveErrorId, failure, false);
    return false;
  }

  // The swap never relies on rename replacing a file: each destination has
  // been deleted or moved away before its rename.
  if (!GoneOrAbsent(files.Unlink(backup)) || !GoneOrAbsent(files.Rename(path, backup))) {
    files.Unlink(pending);
    SetXmlError(document, kSaveErrorId, kSwapFailedText, false);
    return false;
  }
  if (files.Rename(pending, path) != 0) {
    files.Unlink(pending);
    files.Rename(backup, path);  // fails harmlessly when there was no target
    SetXmlError(document, kSaveErrorId, kSwapFailedText, false);
    return false;
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
