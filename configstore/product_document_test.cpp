#include "configstore/product_document.h"

#include "configstore/core_settings.h"

#include <gtest/gtest.h>

#include <fstream>
#include <list>
#include <vector>
#include <string>

#include <boost/filesystem.hpp>

namespace configstore {
namespace {

namespace fs = boost::filesystem;

// A scratch directory that is the current directory while the object lives:
// the documents are read relative to it.
class ScratchWorkDir {
 public:
  ScratchWorkDir() { fs::create_directories(path_), fs::current_path(path_); }
  ~ScratchWorkDir() {
    boost::system::error_code ignored;
    fs::current_path(previous_, ignored);
    fs::remove_all(path_, ignored);
  }
  static void Write(const std::string& name, const std::string& text) { std::ofstream(name) << text; }

 private:
  const fs::path previous_ = fs::current_path();
  const fs::path path_ = fs::temp_directory_path() / fs::unique_path("documents-%%%%-%%%%-%%%%");
};

TEST(ProductDocumentTest, ProductAndThrottlingSwitch) {
  ScratchWorkDir directory;
  const struct {
    const char* product;  // null: no file
    const char* core;
    bool switchBefore;
    ProductSettings expected;
  } cases[] = {
      {nullptr, nullptr, true, {"Orvane", "20.12.8.0", true}},
      {"<Any><Product Version=\"2.0\"/></Any>", "<Vexo><Memory Throttling=\"0\"/></Vexo>", true,
       {"Orvane", "2.0", false}},
      // Present but empty still replaces the default family.
      {"<Any><Product Family=\"\"/></Any>", "<Vexo><Memory Throttling=\"7\"/></Vexo>", false,
       {"", "20.12.8.0", true}},
      {nullptr, "<Vexo><Memory Throttling=\"off\"/></Vexo>", true, {"Orvane", "20.12.8.0", true}},
      // Only the first child of that name counts, and a comment is no element.
      {nullptr, "<Vexo><!--Memory--><Memory Throttling=\"0\"/></Vexo>", true, {"Orvane", "20.12.8.0", true}},
      {nullptr, "<Vexo><Memory Throttling=\"0\">", true, {"Orvane", "20.12.8.0", true}},  // broken
  };
  for (const auto& c : cases) {
    fs::remove("product.xml");
    fs::remove("core.xml");
    if (c.product) ScratchWorkDir::Write("product.xml", c.product);
    if (c.core) ScratchWorkDir::Write("core.xml", c.core);
    base::LogThresholds thresholds;
    ProductSettings settings{"Orvane", "20.12.8.0", c.switchBefore};
    ReadProductAndSettings(&settings, thresholds);
    EXPECT_EQ(settings.family, c.expected.family) << c.product;
    EXPECT_EQ(settings.version, c.expected.version) << c.product;
    EXPECT_EQ(settings.throttlingSwitch, c.expected.throttlingSwitch) << c.core;
  }
}

TEST(ProductDocumentTest, StoredThresholds) {
  ScratchWorkDir directory;
  ScratchWorkDir::Write(
      "core.xml",
      "<Vexo><Modules><Module>"
      "<Plugin ID=\"-2147483648\" LogLevel=\"0\" LogLevelDefault=\"25\"/>"
      "<Plugin ID=\"327680\" LogLevel=\"-1\" LogLevelDefault=\"25\"/>"   // 5: the stored default
      "<Plugin ID=\"393216\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>"   // 6: unset
      "<Plugin ID=\"458752\" LogLevel=\"-1\"/>"                          // 7: unset
      "<Plugin ID=\"524288\" LogLevel=\"101\" LogLevelDefault=\"25\"/>"  // 8: ignored
      "<Plugin ID=\"16711680\" LogLevel=\"10\"/>"                        // number 255: ignored
      "<Plugin ID=\"269025280\" LogLevel=\"60\"/>"                       // bit 28 set: number 9
      "<Plugin ID=\"327680\"/><Plugin ID=\"x\" LogLevel=\"1\"/>"         // skipped
      "</Module><Module>"
      "<Plugin ID=\"655360\" LogLevel=\"75\" LogLevelDefault=\"200\"/>"  // 10
      "<Plugin ID=\"720896\" LogLevel=\"-1\" LogLevelDefault=\"200\"/>"  // 11: default not a level
      "</Module></Modules></Vexo>");
  base::LogThresholds thresholds;
  for (uint32_t n : {6u, 7u, 8u, 11u, 254u}) thresholds.SetCurrent(n, 40);
  ProductSettings settings{"Orvane", "20.12.8.0", true};
  ReadProductAndSettings(&settings, thresholds);
  const std::pair<uint32_t, int> expected[] = {{0, 0},   {5, 25},  {6, -1},  {7, -1},  {8, 40},
                                               {9, 60},  {10, 75}, {11, -1}, {254, 40}};
  for (const auto& [n, level] : expected) EXPECT_EQ(thresholds.Current(n), level) << n;
  // The defaults are the plugins' own, reported at load.
  EXPECT_EQ(thresholds.Default(0), 25);
  EXPECT_EQ(thresholds.Default(5), -1);
}

// The bus as the settings see it: keeps each published text and hands out a
// block address of its own, or none while it refuses.
struct FakePublisher : DocumentPublisher {
  const void* Publish(const CoreEvent& event) override {
    if (refuse) return nullptr;
    EXPECT_EQ(event.providerID, CORE_MODULE_ID);
    texts.emplace_back(static_cast<const char*>(event.data), static_cast<size_t>(event.dataSize));
    types.push_back(event.eventType);
    return &texts.back();
  }
  bool refuse = false;
  std::list<std::string> texts;  // stable addresses stand in for blocks
  std::vector<uint32_t> types;
};

TEST(CoreSettingsTest, SavesPublishesRecognisesItsOwnDocumentAndReadsItBack) {
  ScratchWorkDir dir;
  CoreSettings settings("20.12.8.0");
  settings.ReadStored();
  ASSERT_TRUE(settings.ApplyDelta(
      "<Vexo Delta=\"1\"><Modules><Module><Plugin ID=\"327680\" LogLevel=\"60\"/></Module></Modules></Vexo>"));
  StatusSnapshot snapshot;
  snapshot.executableName = "core";
  snapshot.plugins.push_back({0x00050000, "a.dll", 1, 2, 0});
  FakePublisher bus;
  settings.SaveAndPublish(snapshot, bus);
  ASSERT_EQ(bus.texts.size(), 1u);
  EXPECT_EQ(bus.types.front(), EVENT_CONFIG_UPDATE);
  EXPECT_NE(bus.texts.front().find("<Product Family=\"Orvane\" Version=\"20.12.8.0\" />"), std::string::npos);
  EXPECT_TRUE(fs::exists("plugins.xml"));

  // Its own block once, never another's, never twice.
  const void* own = &bus.texts.front();
  const std::string other = bus.texts.front();
  EXPECT_FALSE(settings.IsOwnDocument(&other));
  EXPECT_TRUE(settings.IsOwnDocument(own));
  EXPECT_FALSE(settings.IsOwnDocument(own));
  bus.refuse = true;
  settings.SaveAndPublish(snapshot, bus);
  EXPECT_FALSE(settings.IsOwnDocument(nullptr));

  // What it saved is what the next run reads.
  CoreSettings next("20.12.8.0");
  next.ReadStored();
  EXPECT_EQ(next.Thresholds().Current(5), 60);
  settings.PublishMemoryState(true, bus);
  bus.refuse = false;
  settings.PublishMemoryState(true, bus);
  EXPECT_EQ(bus.types.back(), static_cast<uint32_t>(EVENT_MEMORY_STATE));
  EXPECT_NE(bus.texts.back().find("Throttling=\"1\""), std::string::npos);
}

}  // namespace
}  // namespace configstore
