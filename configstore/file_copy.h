// Copies that never damage the copy they replace: the data goes to a new
// file beside the destination, reaches the disk, and only then takes the
// destination's name.  Works across filesystems (the backup directories may
// lie on another disk than the documents).
//
// [main] or [io-thread]: keeps no state.
#ifndef CONFIGSTORE_FILE_COPY_H_
#define CONFIGSTORE_FILE_COPY_H_

#include <string>

#include <boost/system/error_code.hpp>

#include "platform/file_ops.h"

namespace configstore {

// Copies the regular file `from` to `to`, replacing a file of that name.
// Returns the system error of the step that failed (EISDIR or EINVAL for a
// source that is not a regular file, which is then not read at all); the
// earlier `to` is untouched then and no temporary file is left behind.
boost::system::error_code CopyFileReplacing(const std::string& from, const std::string& to,
                                            platform::FileOps& files);

}  // namespace configstore

#endif  // CONFIGSTORE_FILE_COPY_H_
