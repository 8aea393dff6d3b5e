#include "configstore/user_accounts.h"

#include <gtest/gtest.h>

#include "configstore/configstore_test_support.h"

namespace configstore {
namespace {

using namespace configstore::testing;

// A missing and an empty file are checked on the real core
// (bringup_process_test); here the content and the failing reads.
TEST(UserAccountsTest, ChecksPresenceSizeAndReadabilityOnly) {
  TempDir dir;
  WriteFile(dir / "useraccounts.xml", "x");  // not XML: the content is not looked at
  EXPECT_EQ("", CheckUserAccounts(dir.str()));

  TestFiles files;  // three attempts to open it, no more
  files.fail = "open";
  files.error = EACCES;
  files.failTimes = 2;
  EXPECT_EQ("", CheckUserAccounts(dir.str(), files));
  files.hits = 0;
  files.failTimes = 100;
  EXPECT_EQ("Failed to validate useraccounts.xml: 13 - Permission denied",
            CheckUserAccounts(dir.str(), files));
  EXPECT_EQ(3, files.hits);

  TestFiles shrinking;  // shrinks between the size query and the read
  shrinking.extraSize = 100;
  EXPECT_EQ("Failed to validate useraccounts.xml: 0 - Success",
            CheckUserAccounts(dir.str(), shrinking));
}

}  // namespace
}  // namespace configstore
