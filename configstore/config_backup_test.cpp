#include "configstore/config_backup.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "configstore/configstore_test_support.h"

namespace configstore {
namespace {

using namespace configstore::testing;
using Lines = LogCapture::Lines;

TEST(ConfigBackupTest, CopiesXmlDocumentsAndReportsSideFiles) {
  LogCapture log;
  TempDir source;
  TempDir core;
  for (const char* name : {"core.xml", "product.xml", "useraccounts.xml", "core.xml.pending",
                           "core.xml.bak", "notes.txt", "UPPER.XML", "old.bak"}) {
    WriteFile(source / name, name);
  }
  fs::create_directory(source / "folder.xml");
  TestFiles files;
  files.current = source.str();

  BackUpConfiguration(core.str(), BackupDirection::kUp, log.Writer(), files);
  const std::string backup = core / "configbackupUP";
  EXPECT_EQ((std::set<std::string>{"core.xml", "product.xml", "useraccounts.xml"}),
            Entries(backup));
  EXPECT_EQ("product.xml", ReadFile(backup + "/product.xml"));
  Lines lines = log.Take();
  std::sort(lines.begin(), lines.end());
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ((Lines{{50, "Config: found core.xml.bak"}, {50, "Config: found core.xml.pending"}}),
            Lines(lines.begin(), lines.begin() + 2));
  // A directory named like a document fails to copy and is reported.
  EXPECT_EQ(75, lines[2].first);
  EXPECT_EQ(0u, lines[2].second.find("Failed to copy " + (source / "folder.xml") + " to " +
                                     backup + "/folder.xml, "))
      << lines[2].second;

  // A second run replaces the copies and deletes nothing.
  WriteFile(source / "core.xml", "changed");
  fs::remove(source / "product.xml");
  BackUpConfiguration(core.str(), BackupDirection::kUp, log.Writer(), files);
  EXPECT_EQ("changed", ReadFile(backup + "/core.xml"));
  EXPECT_TRUE(fs::exists(backup + "/product.xml"));

  BackUpConfiguration(core.str(), BackupDirection::kDown, log.Writer(), files);
  EXPECT_EQ((std::set<std::string>{"core.xml", "useraccounts.xml"}),
            Entries(core / "configbackupDN"));
}

TEST(ConfigBackupTest, UncreatableBackupDirectoryCopiesNothing) {
  LogCapture log;
  TempDir core;
  TestFiles files;
  files.current = core.str();
  WriteFile(core / "core.xml", "<Vexo/>");

  BackUpConfiguration(core / "missing", BackupDirection::kUp, log.Writer(), files);
  EXPECT_EQ((Lines{{75, "Failed to create config backup directory " + (core / "missing") +
                            "/configbackupUP, 2: No such file or directory"}}),
            log.Take());
  WriteFile(core / "configbackupDN", "a file in the way");
  BackUpConfiguration(core.str(), BackupDirection::kDown, log.Writer(), files);
  EXPECT_EQ((Lines{{75, "Failed to create config backup directory " + (core / "configbackupDN") +
                            ", 17: File exists"}}),
            log.Take());
}

}  // namespace
}  // namespace configstore
