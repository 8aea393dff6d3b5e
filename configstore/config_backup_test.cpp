#include "configstore/config_backup.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "configstore/configstore_test_support.h"

namespace configstore {
namespace {

using namespace configstore::testing;

TEST(ConfigBackupTest, CopiesXmlDocumentsAndReportsSideFiles) {
  TempDir source, core;
  for (const char* name : {"core.xml", "product.xml", "useraccounts.xml", "core.xml.pending",
                           "core.xml.bak", "notes.txt", "UPPER.XML", "old.bak"}) {
    WriteFile(source / name, name);
  }
  fs::create_directory(source / "folder.xml");
  TestFiles files;
  files.current = source.str();
  BackUpConfiguration(core.str(), BackupDirection::kUp, &RecordLog, files);
  const std::string backup = core / "configbackupUP";
  EXPECT_EQ((std::set<std::string>{"core.xml", "product.xml", "useraccounts.xml"}),
            Entries(backup));
  EXPECT_EQ("product.xml", ReadFile(backup + "/product.xml"));
  // A directory named like a document fails to copy and is reported.
  const std::string copyFailure =
      "Failed to copy " + (source / "folder.xml") + " to " + backup + "/folder.xml, ";
  Lines lines = TakeLog();
  std::sort(lines.begin(), lines.end());
  if (lines.size() == 3) lines[2].second.resize(copyFailure.size());  // then errno and text
  EXPECT_EQ((Lines{{50, "Config: found core.xml.bak"}, {50, "Config: found core.xml.pending"},
                   {75, copyFailure}}),
            lines);

  // A second run replaces the copies and deletes nothing.
  WriteFile(source / "core.xml", "changed");
  fs::remove(source / "product.xml");
  BackUpConfiguration(core.str(), BackupDirection::kUp, &RecordLog, files);
  EXPECT_EQ("changed", ReadFile(backup + "/core.xml"));
  EXPECT_TRUE(fs::exists(backup + "/product.xml"));
  EXPECT_EQ(3u, TakeLog().size());
}

TEST(ConfigBackupTest, UncreatableBackupDirectoryCopiesNothing) {
  TempDir core;
  TestFiles files;
  files.current = core.str();
  WriteFile(core / "core.xml", "<Vexo/>");
  BackUpConfiguration(core / "missing", BackupDirection::kDown, &RecordLog, files);
  EXPECT_EQ((Lines{{75, "Failed to create config backup directory " + (core / "missing") +
                            "/configbackupDN, 2: No such file or directory"}}),
            TakeLog());
}

}  // namespace
}  // namespace configstore
