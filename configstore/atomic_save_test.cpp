#include "configstore/atomic_save.h"

#include <gtest/gtest.h>

#include "configstore/configstore_test_support.h"
#include "configstore/xml_document.h"
#include "platform/special_files.h"

namespace configstore {
namespace {

using namespace configstore::testing;
using Names = std::set<std::string>;

TiXmlDocument MakeDocument(const std::string& version) {
  TiXmlDocument document;
  ParseXml(document, "<Vexo Version='" + version + "'><Memory Throttling='1'/></Vexo>");
  return document;
}

std::string LoadedVersion(const std::string& path) {
  TiXmlDocument document;
  if (!LoadFileWithBackup(document, path)) return "unloadable";
  return document.RootElement()->Attribute("Version");
}

// Each file operation of the save failing in turn, with each error a full,
// broken or read-only disk, a cut cable or another filesystem gives: the
// failure text, and the old document still in place with nothing beside it.
TEST(AtomicSaveTest, EachFailureKeepsTheOldDocumentLoadable) {
  const size_t size = PrintXmlIndented(MakeDocument("new")).size();
  const struct {
    const char* call;
    const char* suffix;  // of the one path the call fails on; null: any
    std::string text;    // "#" stands for the error number
  } cases[] = {
      {"create", nullptr, "create error #"},
      {"hold lock", nullptr, "create error #"},
      {"lock target", "", kSwapFailedText},
      {"write", nullptr, "write error #"},
      {"short write", nullptr,
       "only wrote " + std::to_string(size - 1) + " of " + std::to_string(size) + " bytes"},
      {"fsync", nullptr, "write error #"},
      {"close", nullptr, "close error #"},
      {"unlink", ".bak", kSwapFailedText},
      {"rename", "", kSwapFailedText},
      {"rename", ".pending", kSwapFailedText},
  };
  for (const auto& failure : cases) {
    for (const int error : {ENOSPC, EIO, EACCES, EROFS, EXDEV}) {
      SCOPED_TRACE(std::string(failure.call) + " " + std::to_string(error));
      TempDir dir;
      const std::string target = dir / "core.xml";
      TiXmlDocument old = MakeDocument("old");
      ASSERT_TRUE(SaveFileAtomic(old, target));
      TestFiles files;
      files.fail = failure.call;
      if (failure.suffix != nullptr) files.failPath = target + failure.suffix;
      files.error = error;
      TiXmlDocument next = MakeDocument("new");
      EXPECT_FALSE(SaveFileAtomic(next, target, files));
      EXPECT_EQ(kSaveErrorId, next.ErrorId());
      std::string text = failure.text;
      if (const size_t hash = text.find('#'); hash != std::string::npos) {
        text.replace(hash, 1, std::to_string(error));
      }
      EXPECT_EQ(text, next.ErrorDesc());
      EXPECT_FALSE(next.Error());
      EXPECT_EQ("old", LoadedVersion(target));
      EXPECT_EQ(Names{"core.xml"}, Entries(dir.str()));
    }
  }
}

// What may lie at the side files' names, put there by mistake or by someone
// who can write the directory: a link to a file elsewhere, a FIFO, a
// directory.  No file outside changes, nothing blocks, and a save either
// goes through or fails with the document in place.
TEST(AtomicSaveTest, PlantedEntriesNeitherRedirectNorBlockASave) {
  TempDir dir, elsewhere;
  const std::string target = dir / "core.xml", outside = elsewhere / "passwd";
  WriteFile(outside, "precious");
  TiXmlDocument old = MakeDocument("old"), next = MakeDocument("new");
  ASSERT_TRUE(SaveFileAtomic(old, target));

  fs::create_symlink(outside, PendingName(target));
  EXPECT_FALSE(SaveFileAtomic(next, target));
  EXPECT_EQ("create error " + std::to_string(ELOOP), next.ErrorDesc());
  EXPECT_EQ(Names{"core.xml"}, Entries(dir.str()));  // the link is gone, not its file

  ASSERT_EQ(0, platform::MakeFifo(PendingName(target)));
  EXPECT_FALSE(SaveFileAtomic(next, target));
  EXPECT_EQ("create error " + std::to_string(ENXIO), next.ErrorDesc());

  fs::create_symlink(outside, BackupName(target));
  EXPECT_TRUE(SaveFileAtomic(next, target));
  EXPECT_EQ("new", LoadedVersion(target));
  EXPECT_EQ(Names{"core.xml"}, Entries(dir.str()));
  EXPECT_EQ("precious", ReadFile(outside));

  // A directory by the target's name stays where it is and is not swapped.
  fs::remove(target);
  fs::create_directory(target);
  EXPECT_FALSE(SaveFileAtomic(next, target));
  EXPECT_STREQ(kSwapFailedText, next.ErrorDesc());
  EXPECT_EQ(Names{"core.xml"}, Entries(dir.str()));
  EXPECT_TRUE(fs::is_directory(target));
  fs::remove(target);
  fs::create_directory(BackupName(target));
  EXPECT_FALSE(SaveFileAtomic(next, target));
  EXPECT_FALSE(fs::exists(target));
}

// A failed directory sync keeps the backup as the fall-back; a pending file
// locked by another save is that save's and is left alone.
TEST(AtomicSaveTest, EdgesOfTheSwapAndThePlainSave) {
  TempDir dir;
  const std::string target = dir / "core.xml";
  TiXmlDocument old = MakeDocument("old"), next = MakeDocument("new");
  ASSERT_TRUE(SaveFileAtomic(old, target));
  EXPECT_EQ(PrintXmlIndented(old), ReadFile(target));
  TestFiles files;
  files.fail = "sync directory";
  EXPECT_TRUE(SaveFileAtomic(next, target, files));
  EXPECT_EQ((Names{"core.xml", "core.xml.bak"}), Entries(dir.str()));
  EXPECT_EQ("new", LoadedVersion(target));
  EXPECT_EQ(Names{"core.xml"}, Entries(dir.str()));

  platform::FileOps& posix = platform::DefaultFileOps();
  int fd = -1;
  bool busy = false;
  size_t written = 0;
  ASSERT_EQ(0, posix.OpenExclusive(PendingName(target), &fd, &busy));
  ASSERT_EQ(0, posix.Write(fd, "in progress", 11, &written));
  EXPECT_FALSE(SaveFileAtomic(old, target));
  EXPECT_STREQ("create error 11", old.ErrorDesc());
  EXPECT_EQ("in progress", ReadFile(PendingName(target)));
  EXPECT_EQ("new", LoadedVersion(target));
  posix.Close(fd);
  EXPECT_TRUE(SaveFileAtomic(old, target));
  EXPECT_EQ("old", LoadedVersion(target));

  // The plain save, for files that need no swap.
  ASSERT_TRUE(SaveFilePlain(next, dir / "plugins.xml"));
  EXPECT_EQ("new", LoadedVersion(dir / "plugins.xml"));
  EXPECT_FALSE(SaveFilePlain(next, dir / "missing/plugins.xml"));
}

}  // namespace
}  // namespace configstore
