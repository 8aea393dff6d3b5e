// The start-up check of useraccounts.xml: the file the plugins keep the
// user accounts in.  The core never interprets it; it only makes sure the
// file is there, not empty and readable from end to end.
//
// [main]: called once by the configuration bring-up, before any plugin is
// loaded.  Logs nothing itself.
#ifndef CONFIGSTORE_USER_ACCOUNTS_H_
#define CONFIGSTORE_USER_ACCOUNTS_H_

#include <string>

#include "platform/file_ops.h"

namespace configstore {

inline constexpr char kUserAccountsFile[] = "useraccounts.xml";

// Checks useraccounts.xml in `startDirectory`.  Returns an empty text when
// the file is usable, otherwise the text to log:
//   "useraccounts.xml: <system message>"   size unknown (also: missing)
//   "useraccounts.xml: zero bytes"
//   "Failed to validate useraccounts.xml: <errno> - <strerror>"
//                                          not opened in 3 attempts, or not
//                                          read whole in one read
std::string CheckUserAccounts(const std::string& startDirectory,
                              platform::FileOps& files = platform::DefaultFileOps());

}  // namespace configstore

#endif  // CONFIGSTORE_USER_ACCOUNTS_H_
