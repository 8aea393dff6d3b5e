#include "core/log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace core {
namespace {

// A writer that answers threshold queries with `threshold` and records every
// log message it is given.
struct Recorder {
  static inline int32_t threshold = -1;
  static inline int queries = 0;
  static inline std::vector<std::pair<int32_t, std::string>> messages;
  static inline std::vector<int32_t> sizes;

  static int32_t Write(const CoreEvent* event, WriteResult* result) {
    EXPECT_EQ(event->eventType, EVENT_LOG);
    if (event->eventSubtype & SUBTYPE_LOG_MESSAGE) {
      EXPECT_EQ(event->eventSubtype, 0x01000002u);
      messages.emplace_back(event->attributes.logLevel, static_cast<const char*>(event->data));
      sizes.push_back(event->dataSize);
    } else {
      ++queries;
      result->code = threshold;
    }
    return 0;
  }
  static void Reset(int32_t t) {
    threshold = t;
    queries = 0;
    messages.clear();
    sizes.clear();
  }
};

TEST(LogTest, ThresholdQueryGatesFormatting) {
  Recorder::Reset(25);
  Log(0x10000, &Recorder::Write, 0, "dropped %d", 1);
  EXPECT_EQ(Recorder::queries, 1);
  EXPECT_TRUE(Recorder::messages.empty());

  Log(0x10000, &Recorder::Write, 25, "kept %d", 2);
  ASSERT_EQ(Recorder::messages.size(), 1u);
  EXPECT_EQ(Recorder::messages[0].second, "kept 2");
  EXPECT_EQ(Recorder::sizes[0], 7);  // the NUL is counted

  Recorder::Reset(-1);  // unset: everything is written
  Log(0x10000, &Recorder::Write, 0, "x");
  Log(0x10000, &Recorder::Write, 0, "%s", "");  // empty text: no message
  EXPECT_EQ(Recorder::messages.size(), 1u);
  Log(0x10000, nullptr, 100, "no writer");  // must not crash
  EXPECT_TRUE(LogEnabled(1, &Recorder::Write, 0));
  Recorder::Reset(50);
  EXPECT_FALSE(LogEnabled(1, &Recorder::Write, 49));
  EXPECT_TRUE(LogEnabled(1, &Recorder::Write, 50));
  EXPECT_FALSE(LogEnabled(1, nullptr, 100));
}

TEST(LogTest, LongMessagesCutExceptAtLevelZero) {
  Recorder::Reset(-1);
  const std::string text(600, 'q');
  Log(1, &Recorder::Write, 50, "%s", text.c_str());
  Log(1, &Recorder::Write, 0, "%s", text.c_str());
  ASSERT_EQ(Recorder::messages.size(), 2u);
  EXPECT_EQ(Recorder::messages[0].second, text.substr(0, 511));
  EXPECT_EQ(Recorder::sizes[0], 512);
  EXPECT_EQ(Recorder::messages[1].second, text);
  EXPECT_EQ(Recorder::sizes[1], 601);
}

}  // namespace
}  // namespace core
