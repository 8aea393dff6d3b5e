// Test of the guide's minimal plugin: it counts frames, answers a supervisor
// message with a well-formed malloc'ed packet, and its run thread ends at Close.
#include <gtest/gtest.h>

#include <cstring>

#include "fake_core.h"
#include "plugin_support.h"

namespace example_test {
namespace {

TEST(MinimalPluginTest, AnswersTheSupervisorAndEndsItsRunThreadAtClose) {
  FakeCore core(EXAMPLE_PLUGIN_DIR "/guide/minimal.dll");
  LoadReply load;
  ASSERT_EQ(core.Load(&load), 0);
  EXPECT_EQ(load.subscriptionMasks[0] & 0x02000100u, 0x02000100u);  // a camera frame's key
  core.StartRun();
  ASSERT_EQ(core.Open(), 0);
  uint8_t pixels[40] = {};
  WriteReply write;
  EXPECT_EQ(core.Write(example::MakeEvent(0x00020001u, EVENT_VIDEO, 0x01000100u, pixels, 40), &write), 0);
  const PipePacketHeader message{sizeof(PipePacketHeader), 9u << 20, 42, 7};
  IoctlReply reply;
  EXPECT_EQ(core.Ioctl(IOCTL_SUPERVISOR, &message, sizeof message, &reply), 0);
  core.Close();
  core.JoinRun();
  core.Unload();

  for (const Written& w : core.events()) {
    if (w.event.eventType != EVENT_TO_SUPERVISOR) continue;
    PipePacketHeader header;
    ASSERT_GE(w.payload.size(), sizeof header);
    std::memcpy(&header, w.payload.data(), sizeof header);
    EXPECT_TRUE(header.length == w.payload.size() && header.target >> 20 == 9 && header.kind == 42);
    EXPECT_EQ(w.payload.substr(sizeof header), "minimal: 1 frames");
    return;
  }
  ADD_FAILURE() << "no packet for the supervisor";
}

}  // namespace
}  // namespace example_test
