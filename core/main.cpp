// Process entry of the recording server core: reads the command line, builds
// the one core object, initialises it with the supervisor pipe and runs it
// until a stop.  Exit codes: 0 after a normal stop or the usage text, 2 when
// initialisation fails (the configuration bring-up may also end the process
// with 0 or 2 on its own).
#include <cstdio>
#include <string>

#include "core/command_line.h"
#include "core/dvrcore.h"
#include "platform/platform.h"
#include "platform/supervisor_link.h"

int main(int argc, char** argv) {
  // A write to a closed standard output or to a daemon that went away must
  // fail like any other console or pipe error, not end the process.
  platform::IgnoreBrokenPipeSignal();
  const core::CommandLine commandLine = core::ParseCommandLine(argc, argv);
  if (commandLine.usage) {
    std::fprintf(stderr, "core version %s\n", core::kBuildVersion);
    std::fprintf(stderr, "Usage: %s <pipe>\n", argc > 0 ? argv[0] : "core");
    return 0;
  }

  core::dvrcore dvr(platform::ExecutablePath(argc > 0 ? argv[0] : nullptr));
  if (!dvr.Initialise(commandLine.pipeHandle)) {
    std::fputs("failed to initialize core\n", stderr);
    return 2;
  }
  dvr.run();
  return 0;
}
