// Every value the status document takes from outside the core (its own file
// name and version, plugin file names, the daemon's file name and version,
// loader messages) survives a save and the next start's load, whatever
// bytes it holds: ASCII as it is, anything that is not UTF-8 as U+FFFD.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "configstore/atomic_save.h"
#include "configstore/configstore_test_support.h"
#include "configstore/xml_document.h"
#include "configstore/status_document.h"

namespace configstore {
namespace {

// The attribute values of the saved document that came from outside, in
// document order.
std::vector<std::string> OutsideValues(const TiXmlDocument& document) {
  std::vector<std::string> values;
  const TiXmlElement* modules = document.RootElement()->FirstChildElement("Modules");
  for (const TiXmlElement* module = modules->FirstChildElement("Module"); module != nullptr;
       module = module->NextSiblingElement("Module")) {
    values.push_back(module->Attribute("Version"));
    for (const TiXmlElement* child = module->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
      values.push_back(child->Attribute("Filename"));
      if (child->Attribute("Version") != nullptr) values.push_back(child->Attribute("Version"));
    }
    const std::string name = module->Attribute("Name");
    if (name != "Core") values.push_back(name);
  }
  return values;
}

TEST(StatusDocumentTextTest, EveryByteValueRoundTripsThroughEachOutsideField) {
  configstore::testing::TempDir dir;
  const std::string target = dir / "core.xml";
  for (int byte = 1; byte < 256; ++byte) {
    SCOPED_TRACE(byte);
    // The byte first, inside and last: a lone lead byte at the end of a
    // value is what used to swallow the closing quote.
    const std::string b(1, static_cast<char>(byte));
    const std::string value = b + "v" + b + "1" + b;
    const std::string r = byte < 0x80 ? b : "\xEF\xBF\xBD";
    const std::string expected = r + "v" + r + "1" + r;

    StatusSnapshot snapshot;
    snapshot.executableName = value;
    snapshot.supervisorFileName = value;
    snapshot.supervisorVersion = value;
    snapshot.plugins.push_back({0x00050000, value, 0, 0, 0});
    snapshot.loadProblems = {{value, value}};
    const ProductInfo product{value, value, true};
    base::LogThresholds thresholds;
    TiXmlDocument built;
    BuildStatusDocument(snapshot, product, thresholds, &built);
    ASSERT_TRUE(configstore::SaveFileAtomic(built, target));

    TiXmlDocument loaded;
    ASSERT_TRUE(configstore::LoadFileWithBackup(loaded, target)) << loaded.ErrorDesc();
    // Core version, its file name, the plugin's, the daemon's file name and
    // version, the failed library's file name, its version (the loader's
    // message) and its name.
    EXPECT_EQ(std::vector<std::string>(8, expected), OutsideValues(loaded));
  }
}

}  // namespace
}  // namespace configstore
