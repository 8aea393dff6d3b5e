// The plugin header compiled as C++20 with -pedantic -Werror, and its layout
// compared with what a C plugin sees through the same header.
#include <gtest/gtest.h>

#include "pluginhost/plugin_abi.h"

extern "C" size_t AbiLayoutFromC(size_t* out, size_t capacity);

TEST(PluginAbi, CAndCppAgreeOnLayout) {
  const size_t cpp[] = {
      sizeof(CoreEvent),       sizeof(DeliveredEvent),           sizeof(WriteReply),
      sizeof(LoadRequest),     sizeof(LoadReply),                sizeof(OpenRequest),
      sizeof(IoctlRequest),    sizeof(IoctlReply),               sizeof(ReadRequest),
      offsetof(LoadReply, logLevel), offsetof(DeliveredEvent, attributes),
      offsetof(CoreContextTable, logLine), sizeof(PipePacketHeader)};
  size_t c[32] = {};
  ASSERT_EQ(AbiLayoutFromC(c, 32), std::size(cpp));
  for (size_t i = 0; i < std::size(cpp); ++i) EXPECT_EQ(c[i], cpp[i]) << "entry " << i;
}
