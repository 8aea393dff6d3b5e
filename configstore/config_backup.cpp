#include "configstore/config_backup.h"

#include <boost/filesystem/path.hpp>

#include "base/log.h"
#include "configstore/file_copy.h"

namespace configstore {
namespace {

namespace fs = boost::filesystem;

// X.xml.pending and X.xml.bak: what an interrupted save of X.xml leaves.
bool IsSaveSideFile(const fs::path& name) {
  const fs::path extension = name.extension();
  return (extension == ".pending" || extension == ".bak") && name.stem().extension() == ".xml";
}

}  // namespace

void BackUpConfiguration(const std::string& coreDirectory, BackupDirection direction,
                         CoreWriteFn write, platform::FileOps& files) {
  const fs::path backupDirectory =
      fs::path(coreDirectory) /
      (direction == BackupDirection::kUp ? kConfigBackupUp : kConfigBackupDown);
  if (const boost::system::error_code error = files.CreateDirectory(backupDirectory.string())) {
    base::Log(CORE_MODULE_ID, write, base::kLevelError,
              "Failed to create config backup directory %s, %d: %s",
              backupDirectory.string().c_str(), error.value(), error.message().c_str());
    return;
  }

  boost::system::error_code error;
  const std::string source = files.CurrentDirectory(&error);
  if (error) return;
  // An unreadable directory has nothing to copy and is not reported.
  files.ListDirectory(source, [&](const std::string& entry) {
    const fs::path name(entry);
    if (name.extension() == ".xml") {
      // The entry's type is left to the copy, which reads regular files
      // only: a directory, FIFO or socket named X.xml fails at once, is
      // never read or waited for, and is reported like any failed copy.
      const std::string from = (fs::path(source) / name).string();
      const std::string to = (backupDirectory / name).string();
      if (const boost::system::error_code copyError = CopyFileReplacing(from, to, files)) {
        base::Log(CORE_MODULE_ID, write, base::kLevelError, "Failed to copy %s to %s, %d: %s",
                  from.c_str(), to.c_str(), copyError.value(), copyError.message().c_str());
      }
    } else if (IsSaveSideFile(name)) {
      base::Log(CORE_MODULE_ID, write, base::kLevelWarning, "Config: found %s", entry.c_str());
    }
  });
}

}  // namespace configstore
