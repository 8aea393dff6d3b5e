// The machine and process facts the memory and clock monitor needs: the
// physical memory, the container's memory limit, the size of the user
// address space, the private memory the process holds, and both clocks.
//
// `SystemInfo` is the seam: the monitor only ever asks through it, so a test
// can move usage across the limit and jump either clock without waiting.
// `LinuxSystemInfo` is the real one, reading sysconf, getrlimit, the cgroup
// v2 hierarchy and /proc/self/status.  The parse helpers below are what it
// uses on those texts, exposed so their corner cases can be checked alone.
//
// [any-thread]: the Linux implementation keeps no state; every call reads
// the system afresh.
#ifndef PLATFORM_SYSTEM_INFO_H_
#define PLATFORM_SYSTEM_INFO_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

class SystemInfo {
 public:
  virtual ~SystemInfo() = default;

  // Installed physical memory in bytes; 0 when it cannot be found out.
  virtual uint64_t PhysicalMemory() = 0;
  // The memory limit of the process's control group in bytes; 0 when there
  // is none (no cgroup v2 hierarchy, "max" all the way up, unreadable).
  virtual uint64_t CgroupMemoryLimit() = 0;
  // Size of the process's user address space in bytes: the address-space
  // resource limit when finite, otherwise the 128 TiB of x86-64 user space.
  virtual uint64_t AddressSpaceLimit() = 0;
  // Anonymous memory the process alone holds, resident plus swapped, in
  // bytes; 0 when it cannot be read.
  virtual uint64_t ProcessMemoryUsage() = 0;
  // Wall clock in whole seconds since 1970.
  virtual int64_t WallNowSeconds() = 0;
  // Monotonic clock in nanoseconds (the clock every core duration uses).
  virtual int64_t SteadyNowNs() = 0;
};

class LinuxSystemInfo : public SystemInfo {
 public:
  uint64_t PhysicalMemory() override;
  uint64_t CgroupMemoryLimit() override;
  uint64_t AddressSpaceLimit() override;
  uint64_t ProcessMemoryUsage() override;
  int64_t WallNowSeconds() override;
  int64_t SteadyNowNs() override;
};

// User address space assumed when the address-space limit is infinite.
constexpr uint64_t kDefaultAddressSpace = uint64_t{1} << 47;

// RssAnon plus VmSwap (both "NAME:  N kB" lines) of a /proc/PID/status text,
// in bytes.  A missing line counts as 0, so a text without either gives 0.
uint64_t ParseProcessMemoryUsage(std::string_view status);

// The value of a cgroup v2 "memory.max" file in bytes; 0 for "max" (no
// limit) or anything that is not a plain decimal number.
uint64_t ParseCgroupMemoryMax(std::string_view text);

// The process's path in the cgroup v2 hierarchy from a /proc/self/cgroup
// text (its "0::PATH" line), e.g. "/system.slice/x.service"; empty when the
// text has no such line.
std::string ParseCgroupV2Path(std::string_view cgroup);

// The mount point of the cgroup v2 file system from a /proc/self/mountinfo
// text; empty when none is mounted.
std::string ParseCgroupV2Mount(std::string_view mountinfo);

}  // namespace platform

#endif  // PLATFORM_SYSTEM_INFO_H_
