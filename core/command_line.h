// The core's command line: "-h" (or any argument whose second character is
// 'h') asks for the usage text; the first argument that does not begin with
// '-' is the supervisor pipe's descriptor number.
#ifndef CORE_COMMAND_LINE_H_
#define CORE_COMMAND_LINE_H_

#include <cstdint>

namespace core {

struct CommandLine {
  bool usage = false;        // print version and usage, exit 0
  int64_t pipeHandle = -1;   // -1: no supervisor pipe
};

// Scans arguments 1..argc-1 in order.  Other arguments beginning with '-' are
// skipped; the scan stops at the first argument that does not, which is read
// with atoi (so "abc" gives 0, which later fails to attach).
CommandLine ParseCommandLine(int argc, const char* const* argv);

}  // namespace core

#endif  // CORE_COMMAND_LINE_H_
