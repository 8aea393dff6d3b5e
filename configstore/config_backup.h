// Configuration backup: twice per run the core copies every XML document of
// its working directory into a backup directory beside its executable,
// "configbackupUP" on the way up (after bring-up, before any plugin loads)
// and "configbackupDN" on the way down (after the plugins are unloaded).
// Copies replace earlier copies of the same name, each only once it is
// complete on the disk; nothing in a backup directory is ever deleted.
// Side files of interrupted saves (X.xml.pending, X.xml.bak) are reported,
// not copied.
//
// [main]: called by the run sequence.  Failures are logged, not returned; a
// directory listing that breaks off half-way throws
// boost::filesystem::filesystem_error to the caller.
#ifndef CONFIGSTORE_CONFIG_BACKUP_H_
#define CONFIGSTORE_CONFIG_BACKUP_H_

#include <string>

#include "platform/file_ops.h"
#include "recording-core/plugin_abi.h"

namespace configstore {

enum class BackupDirection { kUp, kDown };

inline constexpr char kConfigBackupUp[] = "configbackupUP";
inline constexpr char kConfigBackupDown[] = "configbackupDN";

// Copies the ".xml" entries of the current directory into the backup
// directory of `direction` under `coreDirectory`.  Logs, under the core's
// module id:
//   "Failed to create config backup directory %s, %d: %s"  (75; no copies)
//   "Failed to copy %s to %s, %d: %s"                       (75; goes on)
//   "Config: found %s"                                      (50; side file)
void BackUpConfiguration(const std::string& coreDirectory, BackupDirection direction,
                         CoreWriteFn write,
                         platform::FileOps& files = platform::DefaultFileOps());

}  // namespace configstore

#endif  // CONFIGSTORE_CONFIG_BACKUP_H_
