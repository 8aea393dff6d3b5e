#include "base/log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/recording_writer.h"

namespace base {
namespace {

using Strings = std::vector<std::string>;
using testing_writer::RecordingWriter;

// The messages written so far as "LEVEL:TEXT:SIZE"; every event must be a
// threshold query or a message as the core sends it.
Strings Messages() {
  Strings messages;
  for (const testing_writer::Written& w : RecordingWriter::Instance().Events()) {
    EXPECT_EQ(w.type, EVENT_LOG);
    if (w.IsThresholdQuery()) continue;
    EXPECT_EQ(w.subtype, 0x01000002u);
    messages.push_back(std::to_string(w.level) + ":" + w.text + ":" + std::to_string(w.size));
  }
  return messages;
}

TEST(LogTest, ThresholdQueryGatesFormattingAndLongTextsAreCutBelowLevel0) {
  RecordingWriter& writer = RecordingWriter::Instance();
  const CoreWriteFn write = &RecordingWriter::Write;
  writer.Reset(25);
  Log(0x10000, write, 0, "dropped %d", 1);
  Log(0x10000, write, 25, "kept %d", 2);
  EXPECT_EQ(writer.Queries(), 2);
  writer.SetThreshold(-1);  // unset: everything is written, but an empty text is no message
  Log(0x10000, write, 0, "%s", "");
  Log(0x10000, nullptr, 100, "no writer");
  const std::string text(600, 'q');
  Log(1, write, 50, "%s", text.c_str());
  Log(1, write, 0, "%s", text.c_str());
  EXPECT_EQ(Messages(), (Strings{"25:kept 2:7", "50:" + text.substr(0, 511) + ":512", "0:" + text + ":601"}));
  EXPECT_TRUE(LogEnabled(1, write, 0));
  writer.SetThreshold(50);
  EXPECT_FALSE(LogEnabled(1, write, 49));
  EXPECT_TRUE(LogEnabled(1, write, 50));
}

}  // namespace
}  // namespace base
