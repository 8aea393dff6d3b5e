#include "configstore/file_copy.h"

namespace configstore {
namespace {

boost::system::error_code SystemError(int error) {
  return boost::system::error_code(error, boost::system::system_category());
}

// Copies the open source into a new file beside `to` and renames it over
// `to`.  0 or the errno of the failing step; the new file is gone on failure.
int CopyThroughTemporary(int source, const std::string& to, platform::FileOps& files) {
  std::string temporary;
  int out = -1;
  if (const int error = files.CreateUnique(to + ".tmp", &temporary, &out); error != 0) {
    return error;
  }
  int error = files.CopyData(source, out);
  if (error == 0) error = files.Sync(out);
  if (const int closeError = files.Close(out); error == 0) error = closeError;
  if (error == 0) error = files.Rename(temporary, to);
  if (error != 0) files.Unlink(temporary);
  return error;
}

}  // namespace

boost::system::error_code CopyFileReplacing(const std::string& from, const std::string& to,
                                            platform::FileOps& files) {
  int source = -1;
  if (const int error = files.OpenRegularFile(from, &source); error != 0) {
    return SystemError(error);
  }
  const int error = CopyThroughTemporary(source, to, files);
  files.Close(source);
  return error != 0 ? SystemError(error) : boost::system::error_code();
}

}  // namespace configstore
