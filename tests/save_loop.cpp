// save_loop: a process that saves one target with the crash-safe save, for
// the tests that kill it in the middle of a save or race it against others.
//
//   save_loop TARGET FIRST.xml SECOND.xml
//     Loads both documents, prints "saving" on a line of its own, then saves
//     FIRST, SECOND, FIRST, ... to TARGET until it is killed.  A save refused
//     because another process holds the files ("create error 11") is simply
//     skipped.  Exit code 2 when the arguments or documents are unusable, 3
//     when a save fails otherwise.
//
//   save_loop --race TARGET NAME COUNT
//     Makes COUNT stamped saves as saver NAME, checking each outcome against
//     the file, and prints "own N overtaken N refused N wrong N" (then the
//     first wrong outcome, if any).  Exit code 0 when nothing was wrong.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <tinyxml.h>

#include "configstore/atomic_save.h"
#include "configstore/xml_document.h"
#include "save_race.h"

namespace {

int Race(const char* target, const char* name, long count) {
  const saverace::Tally tally = saverace::SaveRepeatedly(target, name, count);
  std::printf("own %ld overtaken %ld refused %ld wrong %ld\n", tally.own, tally.overtaken,
              tally.refused, tally.wrong);
  if (tally.wrong != 0) std::printf("%s\n", tally.firstWrong.c_str());
  return tally.wrong == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--race") {
    return Race(argv[2], argv[3], std::atol(argv[4]));
  }
  TiXmlDocument documents[2];
  if (argc != 4 || !configstore::LoadXmlFile(documents[0], argv[2]) ||
      !configstore::LoadXmlFile(documents[1], argv[3])) {
    std::fprintf(stderr, "usage: %s TARGET FIRST.xml SECOND.xml (both loadable)\n", argv[0]);
    return 2;
  }
  std::printf("saving\n");
  std::fflush(stdout);
  for (unsigned long count = 0;; ++count) {
    TiXmlDocument& document = documents[count % 2];
    if (!configstore::SaveFileAtomic(document, argv[1]) &&
        std::string(document.ErrorDesc()) != "create error 11") {
      std::fprintf(stderr, "save %lu failed: %s\n", count, document.ErrorDesc());
      return 3;
    }
  }
}
