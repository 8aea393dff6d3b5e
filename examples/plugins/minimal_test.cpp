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
  EXPECT_EQ(core.Load().subscriptionMasks[0] & 0x02000100u, 0x02000100u);  // a camera frame's key
  ASSERT_EQ(core.Open(), 0);
  uint8_t pixels[40] = {};
  core.Write(example::MakeEvent(0x00020001u, EVENT_VIDEO, 0x01000100u, pixels, 40));
  const PipePacketHeader message{sizeof(PipePacketHeader), 9u << 20, 42, 7};
  const std::string packet(reinterpret_cast<const char*>(&message), sizeof message);
  EXPECT_EQ(core.Ioctl(IOCTL_SUPERVISOR, packet), 0);
  core.Stop();  // joins the run thread
  std::vector<std::string> packets;
  for (const Written& w : core.events())
    if (w.event.eventType == EVENT_TO_SUPERVISOR) packets.push_back(w.payload);
  ASSERT_EQ(packets.size(), 1u);
  PipePacketHeader header;
  ASSERT_GE(packets[0].size(), sizeof header);
  std::memcpy(&header, packets[0].data(), sizeof header);
  EXPECT_TRUE(header.length == packets[0].size() && header.target >> 20 == 9 && header.kind == 42);
  EXPECT_EQ(packets[0].substr(sizeof header), "minimal: 1 frames");
}

}  // namespace
}  // namespace example_test
