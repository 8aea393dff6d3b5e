// save_loop: saves two documents in turn to one file for as long as it
// lives, so that a test can kill it at any moment of a save and look at
// what is left on disk.
//
//   save_loop TARGET FIRST.xml SECOND.xml
//
// Loads both documents, prints "saving" on a line of its own, then saves
// FIRST, SECOND, FIRST, ... to TARGET with the crash-safe save until it is
// killed.  Exit code 2 when the arguments or documents are unusable, 3 when
// a save fails (nothing else writes TARGET, so no save may fail).
#include <cstdio>

#include <tinyxml.h>

#include "configstore/atomic_save.h"
#include "configstore/xml_document.h"

int main(int argc, char** argv) {
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
    if (!configstore::SaveFileAtomic(document, argv[1])) {
      std::fprintf(stderr, "save %lu failed: %s\n", count, document.ErrorDesc());
      return 3;
    }
  }
}
