#include "configstore/user_accounts.h"

#include <gtest/gtest.h>

#include "configstore/configstore_test_support.h"

namespace configstore {
namespace {

using namespace configstore::testing;

TEST(UserAccountsTest, ChecksPresenceSizeAndReadabilityOnly) {
  TempDir dir;
  const std::string start = dir.str();
  EXPECT_EQ("useraccounts.xml: No such file or directory", CheckUserAccounts(start));
  WriteFile(dir / "useraccounts.xml", "");
  EXPECT_EQ("useraccounts.xml: zero bytes", CheckUserAccounts(start));
  WriteFile(dir / "useraccounts.xml", "x");  // not XML: the content is not looked at
  EXPECT_EQ("", CheckUserAccounts(start));

  // Three attempts to open it, no more.
  TestFiles files;
  files.fail = "open";
  files.error = EACCES;
  files.failTimes = 2;
  EXPECT_EQ("", CheckUserAccounts(start, files));
  files.hits = 0;
  files.failTimes = 100;
  EXPECT_EQ("Failed to validate useraccounts.xml: 13 - Permission denied",
            CheckUserAccounts(start, files));
  EXPECT_EQ(3, files.hits);

  // A file that shrinks between the size query and the read.
  TestFiles shrinking;
  shrinking.extraSize = 100;
  EXPECT_EQ("Failed to validate useraccounts.xml: 0 - Success", CheckUserAccounts(start, shrinking));
}

}  // namespace
}  // namespace configstore
