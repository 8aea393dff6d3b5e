#include "pluginhost/status_document.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "configstore/xml_document.h"
#include "pluginhost/document_test_support.h"

namespace pluginhost {
namespace {

std::vector<std::pair<CoreEvent, std::string>> g_published;

int32_t RecordPublished(const CoreEvent* event, WriteResult* result) {
  g_published.emplace_back(*event, std::string(static_cast<const char*>(event->data),
                                               static_cast<size_t>(event->dataSize)));
  result->code = 0;
  return 0;
}

class StatusDocumentTest : public ::testing::Test {
 protected:
  StatusDocumentTest() { g_published.clear(); }

  void AddPlugin(ModuleId id, const char* file, int32_t openCode, int64_t loadMs, int64_t openMs) {
    auto record = std::make_unique<PluginInfo>();
    record->descriptor.systemID = id;
    record->Filename = file;
    record->OpenCode = openCode;
    record->LoadTimeMs = loadMs;
    record->OpenTimeMs = openMs;
    plugins_.Modify([&](PluginList::Records& records) { records.push_back(std::move(record)); });
  }
  std::string Built() {
    TiXmlDocument document;
    BuildStatusDocument(inputs_, &document);
    return configstore::PrintXmlCompact(document);
  }

  PluginList plugins_;
  core::LogThresholds thresholds_;
  std::map<std::string, std::string> problems_;
  StatusInputs inputs_{"core", "20.12.8.0", "Orvane", true, "", "", &plugins_, &thresholds_, &problems_};
};

constexpr char kCoreOnly[] =
    "<?xml ?><Vexo Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"1\" />"
    "<Modules TotalLoadTimeMs=\"0\" TotalOpenTimeMs=\"0\">"
    "<Module ID=\"-2147483648\" Name=\"Core\" Version=\"20.12.8.0\">"
    "<Plugin ID=\"-2147483648\" Filename=\"core\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\""
    " OpenCode=\"0\" LogLevel=\"25\" LogLevelDefault=\"25\" /></Module></Modules></Vexo>";

TEST_F(StatusDocumentTest, PluginsDaemonAndFailedLibraries) {
  EXPECT_EQ(Built(), kCoreOnly);

  inputs_.version = "2.0";
  inputs_.throttlingSwitch = false;
  thresholds_.SetCurrent(0, 0);
  thresholds_.SetCurrent(5, 50);
  thresholds_.SetDefault(5, 40);
  // Times are cut to 32 bits and summed modulo 2^32; module 7 has no threshold.
  AddPlugin(0x00050000, "a.dll", 5, 0x100000005LL, 3);
  AddPlugin(0x80070000, "b.dll", 0, 0xFFFFFFFFLL, 0x80000000LL);
  problems_ = {{"x.dll", "missing dependency"}};
  inputs_.supervisorFileName = "orvaned";
  const std::string head =
      "<?xml ?><Vexo Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"0\" />"
      "<Modules TotalLoadTimeMs=\"4\" TotalOpenTimeMs=\"-2147483645\">"
      "<Module ID=\"-2147483648\" Name=\"Core\" Version=\"2.0\">"
      "<Plugin ID=\"-2147483648\" Filename=\"core\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\""
      " OpenCode=\"0\" LogLevel=\"0\" LogLevelDefault=\"25\" />"
      "<Plugin ID=\"327680\" Filename=\"a.dll\" Opened=\"1\" LoadTimeMs=\"5\" OpenTimeMs=\"3\""
      " OpenCode=\"5\" LogLevel=\"50\" LogLevelDefault=\"40\" />"
      "<Plugin ID=\"-2147024896\" Filename=\"b.dll\" Opened=\"1\" LoadTimeMs=\"-1\""
      " OpenTimeMs=\"-2147483648\" OpenCode=\"0\" LogLevel=\"-1\" LogLevelDefault=\"-1\" />";
  const std::string failed =
      "<Plugin ID=\"1\" Filename=\"x.dll\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\""
      " OpenCode=\"1157\" LogLevel=\"-1\" LogLevelDefault=\"-1\" /></Module>"
      "<Module ID=\"1\" Name=\"x.dll\" Version=\"missing dependency\" /></Modules></Vexo>";
  // The daemon's file name alone (no information message yet) gives no Library.
  EXPECT_EQ(Built(), head + failed);
  inputs_.supervisorVersion = "7.1.0";
  EXPECT_EQ(Built(), head + "<Library Name=\"orvaned\" Filename=\"orvaned\" Version=\"7.1.0\" />" + failed);
}

TEST_F(StatusDocumentTest, WriteSavesBothFilesAndPublishesWithProduct) {
  testing::ScratchWorkDir directory;
  inputs_.productFamily = "";
  WriteStatusDocument(inputs_, &RecordPublished);

  for (const char* file : {"core.xml", "plugins.xml"}) {
    TiXmlDocument saved;
    ASSERT_TRUE(configstore::LoadXmlFile(saved, file)) << file;
    EXPECT_EQ(configstore::PrintXmlCompact(saved), kCoreOnly) << file;
    EXPECT_TRUE(testing::ScratchWorkDir::Read(file).starts_with("<?xml ?>\n<Vexo Delta=\"0\">\n"));
  }
  EXPECT_FALSE(boost::filesystem::exists("core.xml.pending") || boost::filesystem::exists("core.xml.bak"));

  ASSERT_EQ(g_published.size(), 1u);
  const auto& [event, text] = g_published[0];
  std::string expected = kCoreOnly;
  expected.insert(expected.size() - 7, "<Product Family=\"\" Version=\"20.12.8.0\" />");
  EXPECT_EQ(text, expected);
  EXPECT_EQ(event.providerID, CORE_MODULE_ID);
  EXPECT_EQ(event.eventType, uint32_t{EVENT_CONFIG_UPDATE});
  EXPECT_EQ(event.eventSubtype, 0x01000010u);
}

}  // namespace
}  // namespace pluginhost
