#include "configstore/config_backup.h"

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "configstore/configstore_test_support.h"
#include "platform/special_files.h"

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

std::string CopyFailure(const std::string& from, const std::string& to, int error) {
  return "Failed to copy " + from + " to " + to + ", " + std::to_string(error) + ": " +
         std::strerror(error);
}

// A FIFO, a socket and a directory named like documents, and side files that
// link to a file elsewhere: each odd entry fails its copy at once with its
// line, the link targets stay as they were, and the run never blocks.
TEST(ConfigBackupTest, OddEntriesFailTheirCopyAndAreNeverRead) {
  TempDir source, core, elsewhere;
  const std::string outside = elsewhere / "precious";
  WriteFile(outside, "precious");
  WriteFile(source / "core.xml", "<Vexo/>");
  ASSERT_EQ(0, platform::MakeFifo(source / "notes.xml"));
  ASSERT_EQ(0, platform::MakeSocketEntry(source / "socket.xml"));
  fs::create_directory(source / "x.xml");
  fs::create_symlink(outside, source / "core.xml.pending");
  fs::create_symlink(outside, source / "core.xml.bak");
  TestFiles files;
  files.current = source.str();
  BackUpConfiguration(core.str(), BackupDirection::kDown, &RecordLog, files);
  const std::string backup = core / "configbackupDN";
  EXPECT_EQ(std::set<std::string>{"core.xml"}, Entries(backup));
  EXPECT_EQ("<Vexo/>", ReadFile(backup + "/core.xml"));
  EXPECT_EQ("precious", ReadFile(outside));
  Lines lines = TakeLog();
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ((Lines{{50, "Config: found core.xml.bak"},
                   {50, "Config: found core.xml.pending"},
                   {75, CopyFailure(source / "notes.xml", backup + "/notes.xml", EINVAL)},
                   {75, CopyFailure(source / "socket.xml", backup + "/socket.xml", ENXIO)},
                   {75, CopyFailure(source / "x.xml", backup + "/x.xml", EISDIR)}}),
            lines);
}

// Each file operation of a backup failing in turn with each error a full,
// broken or read-only disk or another filesystem gives: the failure line,
// the previous copy intact, and no half-made copy left beside it.
TEST(ConfigBackupTest, EachFailedCopyKeepsThePreviousCopy) {
  for (const char* call : {"create directory", "open source", "create unique", "copy data",
                           "fsync", "close", "rename"}) {
    for (const int error : {ENOSPC, EIO, EACCES, EROFS, EXDEV}) {
      SCOPED_TRACE(std::string(call) + " " + std::to_string(error));
      TempDir source, core;
      const std::string backup = core / "configbackupUP";
      TestFiles files;
      files.current = source.str();
      WriteFile(source / "core.xml", "<Vexo Version='old'/>");
      BackUpConfiguration(core.str(), BackupDirection::kUp, &RecordLog, files);
      WriteFile(source / "core.xml", "<Vexo Version='new'/>");
      files.fail = call;
      files.error = error;
      BackUpConfiguration(core.str(), BackupDirection::kUp, &RecordLog, files);
      EXPECT_EQ("<Vexo Version='old'/>", ReadFile(backup + "/core.xml"));
      EXPECT_EQ(std::set<std::string>{"core.xml"}, Entries(backup));
      const std::string line =
          files.fail == "create directory"
              ? "Failed to create config backup directory " + backup + ", " +
                    std::to_string(error) + ": " + std::strerror(error)
              : CopyFailure(source / "core.xml", backup + "/core.xml", error);
      EXPECT_EQ((Lines{{75, line}}), TakeLog());
    }
  }
}

// The backup directories on a filesystem of their own (a tmpfs, which needs
// root to mount): the copies are byte for byte the documents, and a copy
// that runs out of space there leaves the earlier copy as it was.
TEST(ConfigBackupTest, CopiesOntoAnotherFilesystem) {
  if (!platform::RunsAsRoot()) GTEST_SKIP() << "mounting a tmpfs needs root; not run";
  TempDir source, core;
  if (const int error = platform::MountTmpfs(core.str(), 256 * 1024); error != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(error) << "); not run";
  }
  struct Unmounter {
    std::string path;
    ~Unmounter() { platform::Unmount(path); }
  } unmount{core.str()};
  std::string document = "<Vexo>";
  for (int i = 0; i < 2000; ++i) document += "<Plugin ID='" + std::to_string(i) + "'/>\n";
  document += "</Vexo>\n";
  WriteFile(source / "core.xml", document);
  WriteFile(source / "product.xml", std::string(100 * 1024, 'x'));
  TestFiles files;
  files.current = source.str();
  BackUpConfiguration(core.str(), BackupDirection::kUp, &RecordLog, files);
  const std::string backup = core / "configbackupUP";
  EXPECT_EQ(document, ReadFile(backup + "/core.xml"));
  EXPECT_EQ(ReadFile(source / "product.xml"), ReadFile(backup + "/product.xml"));
  EXPECT_EQ(Lines{}, TakeLog());

  WriteFile(source / "product.xml", std::string(300 * 1024, 'y'));
  BackUpConfiguration(core.str(), BackupDirection::kUp, &RecordLog, files);
  EXPECT_EQ(std::string(100 * 1024, 'x'), ReadFile(backup + "/product.xml"));
  EXPECT_EQ((std::set<std::string>{"core.xml", "product.xml"}), Entries(backup));
  EXPECT_EQ(
      (Lines{{75, CopyFailure(source / "product.xml", backup + "/product.xml", ENOSPC)}}),
      TakeLog());
}

}  // namespace
}  // namespace configstore
