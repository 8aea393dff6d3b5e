// Crash-safe saving and backup-aware loading of XML documents.
//
// A document saved to F is written whole to F.pending, flushed to the disk,
// and only then swapped in: the old F moves to F.bak, F.pending becomes F,
// the directory is synced and F.bak is deleted.  Whatever point a crash
// interrupts, F or F.bak holds a complete document, and LoadFileWithBackup
// finds it.  Other processes reading F see the old or the new document,
// never a partial one.
//
// [any-thread]: the functions keep no state.  Saves of one F may be tried at
// once by threads or processes: a save locks F.pending (and the F it
// replaces, which a save just finishing may still hold) for its whole run,
// and a save that finds either held is refused with "create error 11"
// without touching anything.  A save never writes through a symbolic link.
#ifndef CONFIGSTORE_ATOMIC_SAVE_H_
#define CONFIGSTORE_ATOMIC_SAVE_H_

#include <string>

#include <tinyxml.h>

#include "platform/file_ops.h"

namespace configstore {

// Error id recorded in a document whose save failed.
inline constexpr int kSaveErrorId = 2;
inline constexpr char kSwapFailedText[] = "xml file swap failed";

inline std::string PendingName(const std::string& path) { return path + ".pending"; }
inline std::string BackupName(const std::string& path) { return path + ".bak"; }

// Saves `document` (indented text) to `path` through its pending file.
// True when `path` now holds the document and the pending file is gone.
// An existing `path` that is not a regular file (a directory, say) is not
// swapped: the save fails with "xml file swap failed" and leaves it.
// False on any failure, with the document's error id set to 2 and its error
// description to the reason ("create error N", "write error N",
// "close error N", "only wrote N of M bytes", "xml file swap failed"); the
// document's error flag is left as it was.  On failure `path` holds its
// previous content (or, when the last rename failed, that content is moved
// back from the backup).
bool SaveFileAtomic(TiXmlDocument& document, const std::string& path,
                    platform::FileOps& files = platform::DefaultFileOps());

// Loads `path`; when that fails, loads its backup and moves the backup back
// to `path`.  After a load of `path` a leftover backup is deleted.  False
// when neither loads; the document then holds the error of the last attempt.
// The pending file is never looked at.
bool LoadFileWithBackup(TiXmlDocument& document, const std::string& path,
                        platform::FileOps& files = platform::DefaultFileOps());

// Writes `document` to `path` through a C stream in text mode, for files
// whose readers can live with a partial write.  False when the file cannot
// be opened or a write error shows on the stream (also when it shows only
// as the buffered rest is flushed on close).
bool SaveFilePlain(const TiXmlDocument& document, const std::string& path,
                   platform::FileOps& files = platform::DefaultFileOps());

}  // namespace configstore

#endif  // CONFIGSTORE_ATOMIC_SAVE_H_
