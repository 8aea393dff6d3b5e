// Tests of the web status plugin's parts that decide what is shown and what
// is served: the XML reader on hostile documents, the model fed with the
// bus's documents, the recordings' name checks and byte ranges, and the
// escaping in each rendered form.  The HTTP server itself is tested against
// the running demo (tests/demo_test.cpp, tests/webview_hostile_test.cpp).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "fake_core.h"
#include "webview/mini_xml.h"
#include "webview/recording_files.h"
#include "webview/render.h"
#include "webview/status_model.h"

namespace example_test {
namespace {

namespace fs = std::filesystem;
using webview::ByteRange;
using webview::Lookup;

constexpr char kStatus[] =
    "<?xml version=\"1.0\"?><!-- status --><Vexo Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"1\"/>"
    "<Modules TotalLoadTimeMs=\"7\" TotalOpenTimeMs=\"3\"><Module ID=\"-2147483648\" Name=\"Core\" Version=\"20.1\">"
    "<Plugin ID=\"-2147483648\" Filename=\"core\" Opened=\"1\" OpenCode=\"0\" LogLevel=\"25\"/>"
    "<Plugin ID=\"196608\" Filename=\"Rec&amp;order.dll\" Opened=\"1\" LoadTimeMs=\"3\" OpenCode=\"7\"/>"
    "<Plugin ID=\"458752\" Filename=\"gone.dll\" OpenCode=\"1157\"/></Module>"
    "<Module ID=\"458752\" Name=\"gone.dll\" Version=\"missing dependency\"/></Modules>"
    "<Product Family=\"Orvane\" Version=\"20.1\"/></Vexo>";

TEST(WebviewXmlTest, ReadsAttributesAndRefusesBrokenOrAbsurdDocuments) {
  webview::XmlDocument document;
  std::string error;
  ASSERT_TRUE(document.Parse(kStatus, &error)) << error;
  EXPECT_EQ(document.elements[0].name, "Vexo");
  EXPECT_EQ(document.elements[document.Children(0, "Modules")[0]].Int("TotalLoadTimeMs"), 7);
  ASSERT_TRUE(document.Parse("<a x='&#x41;&lt;&#66;' y=\"-12\" z=\"0x10\"/>", &error)) << error;
  EXPECT_EQ(document.elements[0].Attr("x"), "A<B");
  EXPECT_EQ(document.elements[0].Int("y"), -12);
  EXPECT_EQ(document.elements[0].Int("z"), 16);
  EXPECT_EQ(document.elements[0].Int("x", -5), -5);

  std::string deep;
  for (int i = 0; i < 33; ++i) deep += "<a>";
  for (int i = 0; i < 33; ++i) deep += "</a>";
  for (const std::string& bad : {deep, std::string("<a><b></a></b>"), std::string("<a/><b/>"),
                                 std::string("<a x=\"1\""), std::string("<a x=1/>"), std::string("<a x=\"&bogus;\"/>"),
                                 std::string("<a x=\"&#0;\"/>"), std::string("text<a/>"), std::string(""),
                                 std::string("<a>"), std::string("<!-- open")}) {
    EXPECT_FALSE(document.Parse(bad, &error)) << bad;
    EXPECT_TRUE(document.elements.empty()) << bad;
  }
}

TEST(WebviewModelTest, FollowsTheStatusDocumentAndSkipsOtherDocuments) {
  webview::StatusModel model;
  std::string error;
  ASSERT_TRUE(ApplyConfigDocument(model, kStatus, &error)) << error;
  ASSERT_EQ(model.modules.size(), 3u);
  EXPECT_EQ(model.modules[1].name, "rec&order");
  EXPECT_EQ(model.modules[1].openCode, 7);
  EXPECT_EQ(model.modules[2].version, "not loaded: missing dependency");
  EXPECT_EQ(model.product, "Orvane");
  EXPECT_EQ(model.throttlingSwitch, 1);
  EXPECT_EQ(model.totalLoadMs, 7);

  // A delta, another plugin's document and a broken one leave the table.
  std::string delta = kStatus;
  delta.replace(delta.find("Delta=\"0\""), 9, "Delta=\"1\"");
  EXPECT_TRUE(ApplyConfigDocument(model, delta.replace(delta.find("Orvane"), 6, "Other"), &error));
  EXPECT_TRUE(ApplyConfigDocument(model, "<Settings><Modules/></Settings>", &error));
  EXPECT_FALSE(ApplyConfigDocument(model, "<Vexo><Modules>", &error));
  EXPECT_EQ(model.product, "Orvane");
  EXPECT_EQ(model.modules.size(), 3u);

  EXPECT_EQ(model.throttling, -1);
  ASSERT_TRUE(ApplyMemoryState(model, "<?xml?><Vexo><Memory ID=\"-2147483648\" Throttling=\"1\" Time=\"5\"/></Vexo>",
                               &error));
  EXPECT_EQ(model.throttling, 1);
  EXPECT_FALSE(ApplyMemoryState(model, "<Vexo><Memory ID=\"1\"/></Vexo>", &error));
  EXPECT_EQ(model.throttling, 1);
}

TEST(WebviewModelTest, CountersNeverGoBackWhenAPublisherStartsOver) {
  webview::StatusModel model;
  std::string error;
  auto camera = [&](int frames, int refused3) {
    return ApplyCameraStatus(model, 0x20001,
                             "<CameraStatus Name=\"front\" Id=\"0x00020001\" Connected=\"1\" Fps=\"24.5\" Frames=\"" +
                                 std::to_string(frames) + "\" Refused3=\"" + std::to_string(refused3) + "\"/>",
                             &error);
  };
  ASSERT_TRUE(camera(100, 2)) << error;
  ASSERT_TRUE(camera(30, 1)) << error;  // the camera plugin started again
  const webview::CameraRow& row = model.cameras.begin()->second;
  EXPECT_EQ(row.frames.Value(), 130u);
  EXPECT_EQ(row.refused[0].Value(), 3u);
  EXPECT_DOUBLE_EQ(row.fps, 24.5);
  EXPECT_FALSE(ApplyCameraStatus(model, 1, "<CameraStatus Frames=\"1\"/>", &error));
  EXPECT_EQ(model.cameras.size(), 1u);

  const std::string recorder =
      "<RecorderStatus Directory=\"/r\" BytesWritten=\"500\" DiskFreeBytes=\"9\"><Camera Name=\"front\" Frames=\"5\" "
      "Open=\"front/b.mp4\"><Segment File=\"front/a.mp4\" Bytes=\"300\"/><Segment File=\"front/b.mp4\" "
      "Bytes=\"200\"/></Camera></RecorderStatus>";
  ASSERT_TRUE(ApplyRecorderStatus(model, 0x30000, recorder, &error)) << error;
  const webview::Recording& recording = model.recorders[0x30000].cameras["front"];
  ASSERT_EQ(recording.segments.size(), 2u);
  EXPECT_EQ(recording.segments[1].file, "front/b.mp4");
  EXPECT_EQ(recording.open, "front/b.mp4");
  EXPECT_FALSE(ApplyRecorderStatus(model, 0x30000, "<RecorderStatus Directory=\"relative\"/>", &error));

  // Video segments play on the page; others are only linked.
  ASSERT_TRUE(ApplyRecorderStatus(model, 0x30001,
                                  "<RecorderStatus Directory=\"/s\"><Camera Name=\"side\"><Segment "
                                  "File=\"side.rec\"/></Camera></RecorderStatus>", &error)) << error;
  const std::string html = webview::RenderHtml(model, 5);
  EXPECT_NE(html.find("<video controls preload=none src=\"/recordings/front/a.mp4\">"), std::string::npos) << html;
  EXPECT_NE(html.find("<a href=\"/recordings/side.rec\">"), std::string::npos);
  EXPECT_EQ(html.find("src=\"/recordings/side.rec\""), std::string::npos);
}

TEST(WebviewFilesTest, ServesOnlyRegularFilesInsideTheDirectory) {
  ScopedWorkDir dir;
  const fs::path root = fs::current_path() / "recordings";
  fs::create_directories(root / "front");
  std::ofstream(root / "front" / "a.mp4") << "video";
  std::ofstream(fs::current_path() / "secret.txt") << "secret";
  fs::create_symlink(fs::current_path() / "secret.txt", root / "front" / "out.mp4");
  fs::create_symlink(root / "front" / "a.mp4", root / "front" / "in.mp4");
  fs::create_symlink(fs::current_path(), root / "up");

  std::string path;
  EXPECT_EQ(webview::ResolveRecording(root.string(), "front/a.mp4", &path), Lookup::kFound);
  EXPECT_EQ(path, (root / "front" / "a.mp4").string());
  EXPECT_EQ(webview::ResolveRecording(root.string(), "front/in.mp4", &path), Lookup::kFound);
  for (const char* outside : {"front/out.mp4", "up/secret.txt", "front", "front/none.mp4"})
    EXPECT_EQ(webview::ResolveRecording(root.string(), outside, &path), Lookup::kNotFound) << outside;
  for (const std::string& malformed : std::vector<std::string>
       {"", "../secret.txt", "front/../../secret.txt", "%2e%2e/secret.txt", "front%2Fa.mp4", "front\\a.mp4",
        std::string("front/a.mp4\0x", 13), "front//a.mp4", "./front/a.mp4", "front/.hidden", "/etc/passwd",
        std::string(600, 'a')})
    EXPECT_EQ(webview::ResolveRecording(root.string(), malformed, &path), Lookup::kMalformed) << malformed;
  EXPECT_STREQ(webview::ContentTypeFor("front/a.mp4"), "video/mp4");
  EXPECT_STREQ(webview::ContentTypeFor("camera-0.rec"), "application/octet-stream");
}

TEST(WebviewFilesTest, ByteRanges) {
  struct Case {
    const char* header;
    uint64_t size;
    ByteRange::Kind kind;
    uint64_t first, last;
  } cases[] = {
      {"bytes=0-99", 1000, ByteRange::kPartial, 0, 99},      {"bytes=900-", 1000, ByteRange::kPartial, 900, 999},
      {"bytes=-100", 1000, ByteRange::kPartial, 900, 999},   {"bytes=-5000", 1000, ByteRange::kPartial, 0, 999},
      {"bytes=990-5000", 1000, ByteRange::kPartial, 990, 999}, {"bytes=1000-", 1000, ByteRange::kUnsatisfiable, 0, 0},
      {"bytes=-0", 1000, ByteRange::kUnsatisfiable, 0, 0},   {"bytes=0-", 0, ByteRange::kUnsatisfiable, 0, 0},
      {"bytes=5-2", 1000, ByteRange::kWhole, 0, 0},          {"bytes=0-1,5-6", 1000, ByteRange::kWhole, 0, 0},
      {"items=0-1", 1000, ByteRange::kWhole, 0, 0},          {"bytes=x-1", 1000, ByteRange::kWhole, 0, 0},
      {"bytes=99999999999999999999-", 1000, ByteRange::kWhole, 0, 0}, {"", 1000, ByteRange::kWhole, 0, 0}};
  for (const Case& c : cases) {
    const ByteRange range = webview::ParseRange(c.header, c.size);
    EXPECT_EQ(range.kind, c.kind) << c.header;
    if (c.kind == ByteRange::kPartial) {
      EXPECT_EQ(range.first, c.first) << c.header;
      EXPECT_EQ(range.last, c.last) << c.header;
    }
  }
}

TEST(WebviewRenderTest, EscapesWhatPublishersWrite) {
  webview::StatusModel model;
  std::string error;
  ASSERT_TRUE(ApplyCameraStatus(model, 0x20001,
                                "<CameraStatus Name=\"&lt;script&gt;&quot;\\&#10;\" Id=\"0x00020001\"/>", &error))
      << error;
  const std::string html = webview::RenderHtml(model, 5);
  EXPECT_EQ(html.find("<script>\""), std::string::npos);
  EXPECT_NE(html.find("&lt;script&gt;&quot;"), std::string::npos);
  EXPECT_NE(webview::RenderMetrics(model).find("camera=\"<script>\\\"\\\\\\n\""), std::string::npos);
  EXPECT_NE(webview::RenderJson(model).find("\"name\":\"<script>\\\"\\\\\\u000a\""), std::string::npos);
  EXPECT_EQ(webview::HumanBytes(1536), "1.5 KiB");
}

}  // namespace
}  // namespace example_test
