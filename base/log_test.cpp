#include "base/log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace base {
namespace {

using Strings = std::vector<std::string>;

// A writer that answers threshold queries with g_threshold and records each
// message as "LEVEL:TEXT:SIZE".
int32_t g_threshold = -1;
int g_queries = 0;
Strings g_messages;

int32_t Record(const CoreEvent* event, WriteResult* result) {
  EXPECT_EQ(event->eventType, EVENT_LOG);
  if (event->eventSubtype == 0x01000002u) {
    g_messages.push_back(std::to_string(event->attributes.logLevel) + ":" +
                         static_cast<const char*>(event->data) + ":" + std::to_string(event->dataSize));
  } else {
    ++g_queries;
    result->code = g_threshold;
  }
  return 0;
}

TEST(LogTest, ThresholdQueryGatesFormattingAndLongTextsAreCutBelowLevel0) {
  g_threshold = 25, g_queries = 0, g_messages.clear();
  Log(0x10000, &Record, 0, "dropped %d", 1);
  Log(0x10000, &Record, 25, "kept %d", 2);
  EXPECT_EQ(g_queries, 2);
  g_threshold = -1;  // unset: everything is written, but an empty text is no message
  Log(0x10000, &Record, 0, "%s", "");
  Log(0x10000, nullptr, 100, "no writer");
  const std::string text(600, 'q');
  Log(1, &Record, 50, "%s", text.c_str());
  Log(1, &Record, 0, "%s", text.c_str());
  EXPECT_EQ(g_messages, (Strings{"25:kept 2:7", "50:" + text.substr(0, 511) + ":512", "0:" + text + ":601"}));
  EXPECT_TRUE(LogEnabled(1, &Record, 0));
  g_threshold = 50;
  EXPECT_FALSE(LogEnabled(1, &Record, 49));
  EXPECT_TRUE(LogEnabled(1, &Record, 50));
}

}  // namespace
}  // namespace base
