#include "core/command_line.h"

#include <cstdlib>

namespace core {

CommandLine ParseCommandLine(int argc, const char* const* argv) {
  CommandLine result;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] == '-') {
      if (arg[1] == 'h') {
        result.usage = true;
        return result;
      }
      continue;
    }
    result.pipeHandle = static_cast<int64_t>(std::atoi(arg));
    break;
  }
  return result;
}

}  // namespace core
