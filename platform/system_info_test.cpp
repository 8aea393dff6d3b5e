#include "platform/system_info.h"

#include <gtest/gtest.h>

#include <vector>

namespace platform {
namespace {

TEST(SystemInfoParse, ProcessStatusAndCgroupFiles) {
  EXPECT_EQ(ParseProcessMemoryUsage("Name:\tcore\nVmRSS:\t 9000 kB\nRssAnon:\t 152 kB\nRssFile:\t 4000 kB\n"
                                    "VmSwap:\t      10 kB\nThreads:\t3\n"), 162u * 1024);
  EXPECT_EQ(ParseProcessMemoryUsage("RssAnon:\t 2048 kB"), 2048u * 1024);  // no swap line, no newline
  EXPECT_EQ(ParseProcessMemoryUsage("Name:\tcore\nVmRSS:\t 9000 kB\n"), 0u);
  EXPECT_EQ(ParseProcessMemoryUsage("RssAnon:\t junk kB\nVmSwap:\t 1 kB\n"), 1024u);
  EXPECT_EQ(ParseProcessMemoryUsage("RssAnon:\t 99999999999999999999 kB\n"), 0u);

  EXPECT_EQ(ParseCgroupMemoryMax("1073741824\n"), uint64_t{1} << 30);
  for (const char* none : {"max\n", "", "12abc"}) EXPECT_EQ(ParseCgroupMemoryMax(none), 0u) << none;
  EXPECT_EQ(ParseCgroupV2Path("4:memory:/a\n0::/system.slice/core.service\n"), "/system.slice/core.service");
  EXPECT_EQ(ParseCgroupV2Path("4:memory:/a\n1:cpu:/\n"), "");
  EXPECT_EQ(ParseCgroupV2Mount("31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
                               "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
                               "41 31 0:38 / /sys/fs/cgroup/uni\\040fied rw shared:9 - cgroup2 cgroup2 rw\n"),
            "/sys/fs/cgroup/uni fied");
  EXPECT_EQ(ParseCgroupV2Mount("31 23 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"), "");
}

// Where the held memory's address escapes to, so that the compiler cannot
// leave the allocation out.
char* volatile g_held = nullptr;

TEST(LinuxSystemInfo, PlausibleValues) {
  LinuxSystemInfo system;
  const uint64_t physical = system.PhysicalMemory(), before = system.ProcessMemoryUsage();
  // 32 MiB of anonymous memory with every page touched: the usage grows by
  // about as much.
  std::vector<char> held(32 << 20, 1);
  g_held = held.data();
  const uint64_t usage = system.ProcessMemoryUsage();
  EXPECT_GT(physical, uint64_t{64} << 20);
  EXPECT_GE(usage, before + (uint64_t{24} << 20)) << before;
  EXPECT_LT(usage, physical);
  EXPECT_GT(system.AddressSpaceLimit(), 0u);
  const uint64_t cgroup = system.CgroupMemoryLimit();
  EXPECT_TRUE(cgroup == 0 || cgroup > usage) << cgroup;
  EXPECT_GT(system.WallNowSeconds(), 1'600'000'000);
}

}  // namespace
}  // namespace platform
