#include "configstore/status_document.h"

#include <tinyxml.h>

#include <gtest/gtest.h>

#include <string>

#include "configstore/xml_document.h"

namespace configstore {
namespace {

// Saving and publishing the document are checked end to end with the real
// core; here the document itself.
TEST(StatusDocumentTest, PluginsDaemonAndFailedLibraries) {
  base::LogThresholds thresholds;
  StatusSnapshot snapshot;
  snapshot.executableName = "core";
  ProductInfo product{"Orvane", "20.12.8.0", true};
  const auto built = [&] {
    TiXmlDocument document;
    BuildStatusDocument(snapshot, product, thresholds, &document);
    return configstore::PrintXmlCompact(document);
  };
  EXPECT_EQ(built(),
            "<?xml ?><Vexo Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"1\" />"
            "<Modules TotalLoadTimeMs=\"0\" TotalOpenTimeMs=\"0\">"
            "<Module ID=\"-2147483648\" Name=\"Core\" Version=\"20.12.8.0\">"
            "<Plugin ID=\"-2147483648\" Filename=\"core\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\""
            " OpenCode=\"0\" LogLevel=\"25\" LogLevelDefault=\"25\" /></Module></Modules></Vexo>");

  product.version = "2.0";
  product.throttlingSwitch = false;
  thresholds.SetCurrent(0, 0);
  thresholds.SetCurrent(5, 50);
  thresholds.SetDefault(5, 40);
  // Times are cut to 32 bits and summed modulo 2^32; module 7 has no threshold.
  const struct { ModuleId id; const char* file; int32_t openCode; int64_t loadMs, openMs; } added[] = {
      {0x00050000, "a.dll", 5, 0x100000005LL, 3}, {0x80070000, "b.dll", 0, 0xFFFFFFFFLL, 0x80000000LL}};
  for (const auto& a : added) snapshot.plugins.push_back({a.id, a.file, a.loadMs, a.openMs, a.openCode});
  snapshot.loadProblems = {{"x.dll", "missing dependency"}};
  snapshot.supervisorFileName = "orvaned";
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
  EXPECT_EQ(built(), head + failed);
  snapshot.supervisorVersion = "7.1.0";
  EXPECT_EQ(built(), head + "<Library Name=\"orvaned\" Filename=\"orvaned\" Version=\"7.1.0\" />" + failed);
}

}  // namespace
}  // namespace configstore
