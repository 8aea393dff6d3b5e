#include "configstore/atomic_save.h"

#include <gtest/gtest.h>

#include "configstore/configstore_test_support.h"
#include "configstore/xml_document.h"

namespace configstore {
namespace {

using namespace configstore::testing;
using Names = std::set<std::string>;

TiXmlDocument MakeDocument(const char* version) {
  TiXmlDocument document;
  auto* root = new TiXmlElement("Vexo");
  root->SetAttribute("Version", version);
  auto* memory = new TiXmlElement("Memory");
  memory->SetAttribute("ID", static_cast<int>(0x80000000u));
  root->LinkEndChild(memory);
  document.LinkEndChild(root);
  return document;
}

std::string LoadedVersion(const std::string& path) {
  TiXmlDocument document;
  if (!LoadFileWithBackup(document, path)) return "unloadable";
  return document.RootElement()->Attribute("Version");
}

TEST(AtomicSaveTest, SavesLeaveExactlyTheTarget) {
  TempDir dir;
  const std::string target = dir / "core.xml";
  TiXmlDocument first = MakeDocument("1");
  ASSERT_TRUE(SaveFileAtomic(first, target));
  EXPECT_EQ(Names{"core.xml"}, Entries(dir.str()));
  EXPECT_EQ(PrintXmlIndented(first), ReadFile(target));

  // Leftovers of an earlier crash are replaced, not kept.
  WriteFile(PendingName(target), "partial");
  WriteFile(BackupName(target), "<old/>");
  TiXmlDocument second = MakeDocument("2");
  ASSERT_TRUE(SaveFileAtomic(second, target));
  EXPECT_EQ(Names{"core.xml"}, Entries(dir.str()));

  TiXmlDocument loaded;
  ASSERT_TRUE(LoadFileWithBackup(loaded, target));
  EXPECT_NE(std::string::npos, ReadFile(target).find("ID=\"-2147483648\""));
  int id = 0;
  loaded.RootElement()->FirstChildElement("Memory")->QueryIntAttribute("ID", &id);
  EXPECT_EQ(0x80000000u, static_cast<uint32_t>(id));

  // The plain save, for files that need no swap.
  ASSERT_TRUE(SaveFilePlain(second, dir / "plugins.xml"));
  EXPECT_EQ("2", LoadedVersion(dir / "plugins.xml"));
  EXPECT_FALSE(SaveFilePlain(second, dir / "missing/plugins.xml"));
}

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

TEST(AtomicSaveTest, EdgesOfTheSwap) {
  TempDir dir;
  const std::string target = dir / "core.xml";
  TiXmlDocument document = MakeDocument("1");

  // The last rename failing on a first save leaves nothing behind.
  TestFiles files;
  files.fail = "rename";
  files.failPath = PendingName(target);
  EXPECT_FALSE(SaveFileAtomic(document, target, files));
  EXPECT_TRUE(Entries(dir.str()).empty());

  // Until the directory is synced, the backup stays as the fall-back.
  ASSERT_TRUE(SaveFileAtomic(document, target));
  files.fail = "sync directory";
  files.failPath.clear();
  TiXmlDocument next = MakeDocument("2");
  EXPECT_TRUE(SaveFileAtomic(next, target, files));
  EXPECT_EQ((Names{"core.xml", "core.xml.bak"}), Entries(dir.str()));
  EXPECT_EQ("2", LoadedVersion(target));
  EXPECT_EQ(Names{"core.xml"}, Entries(dir.str()));
}

TEST(AtomicSaveTest, PendingFileLockedByAnotherWriterIsLeftAlone) {
  TempDir dir;
  const std::string target = dir / "core.xml";
  TiXmlDocument old = MakeDocument("old");
  ASSERT_TRUE(SaveFileAtomic(old, target));

  platform::FileOps& files = platform::DefaultFileOps();
  int fd = -1;
  bool busy = false;
  size_t written = 0;
  ASSERT_EQ(0, files.OpenExclusive(PendingName(target), &fd, &busy));
  ASSERT_EQ(0, files.Write(fd, "in progress", 11, &written));

  TiXmlDocument next = MakeDocument("new");
  EXPECT_FALSE(SaveFileAtomic(next, target));
  EXPECT_STREQ("create error 11", next.ErrorDesc());
  EXPECT_EQ("in progress", ReadFile(PendingName(target)));
  EXPECT_EQ("old", LoadedVersion(target));

  files.Close(fd);
  EXPECT_TRUE(SaveFileAtomic(next, target));
  EXPECT_EQ("new", LoadedVersion(target));
}

TEST(LoadFileWithBackupTest, FallsBackToTheBackupAndRestoresIt) {
  TempDir dir;
  const std::string target = dir / "core.xml";

  // Interrupted between moving the target away and moving the pending in:
  // the backup comes back, the pending file is not looked at.
  WriteFile(BackupName(target), "<r Version='bak'/>");
  WriteFile(PendingName(target), "<r Version='pending'/>");
  EXPECT_EQ("bak", LoadedVersion(target));
  EXPECT_EQ((Names{"core.xml", "core.xml.pending"}), Entries(dir.str()));

  WriteFile(target, "<r Version='broken'");
  WriteFile(BackupName(target), "<r Version='bak2'/>");
  EXPECT_EQ("bak2", LoadedVersion(target));
  EXPECT_EQ("<r Version='bak2'/>", ReadFile(target));

  // Neither loads: the error of the last attempt remains, nothing moves.
  WriteFile(target, "");
  WriteFile(BackupName(target), "<a></b>");
  TiXmlDocument document;
  EXPECT_FALSE(LoadFileWithBackup(document, target));
  EXPECT_EQ(TiXmlBase::TIXML_ERROR_READING_END_TAG, document.ErrorId());
  EXPECT_EQ((Names{"core.xml", "core.xml.bak", "core.xml.pending"}), Entries(dir.str()));
}

}  // namespace
}  // namespace configstore
