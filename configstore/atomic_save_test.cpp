#include "configstore/atomic_save.h"

#include <gtest/gtest.h>

#include "configstore/configstore_test_support.h"
#include "configstore/xml_document.h"

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

// Each file operation of the save failing in turn: the failure text, and the
// old document still in place with nothing beside it.
TEST(AtomicSaveTest, EachFailureKeepsTheOldDocumentLoadable) {
  const size_t size = PrintXmlIndented(MakeDocument("new")).size();
  const struct {
    const char* call;
    const char* suffix;  // of the one path the call fails on; null: any
    int error;
    std::string text;
  } cases[] = {
      {"create", nullptr, 13, "create error 13"},
      {"write", nullptr, 5, "write error 5"},
      {"short write", nullptr, 0,
       "only wrote " + std::to_string(size - 1) + " of " + std::to_string(size) + " bytes"},
      {"fsync", nullptr, 5, "write error 5"},
      {"close", nullptr, 9, "close error 9"},
      {"unlink", ".bak", 1, kSwapFailedText},
      {"rename", "", 18, kSwapFailedText},
      {"rename", ".pending", 5, kSwapFailedText},
  };
  for (const auto& failure : cases) {
    SCOPED_TRACE(failure.call);
    TempDir dir;
    const std::string target = dir / "core.xml";
    TiXmlDocument old = MakeDocument("old");
    ASSERT_TRUE(SaveFileAtomic(old, target));
    TestFiles files;
    files.fail = failure.call;
    if (failure.suffix != nullptr) files.failPath = target + failure.suffix;
    files.error = failure.error;
    TiXmlDocument next = MakeDocument("new");
    EXPECT_FALSE(SaveFileAtomic(next, target, files));
    EXPECT_EQ(kSaveErrorId, next.ErrorId());
    EXPECT_EQ(failure.text, next.ErrorDesc());
    EXPECT_FALSE(next.Error());
    EXPECT_EQ("old", LoadedVersion(target));
    EXPECT_EQ(Names{"core.xml"}, Entries(dir.str()));
  }
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
