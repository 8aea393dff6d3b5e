// Discovery of plugin libraries: the scan of one directory and the order in
// which the candidates of both plugin directories are loaded.
#include <algorithm>

#include <boost/filesystem/operations.hpp>

#include "pluginhost/plugin_host.h"

namespace fs = boost::filesystem;

namespace pluginhost {

void ScanDirectory(const fs::path& directory, const std::string& extension,
                   std::vector<fs::path>* candidates) {
  boost::system::error_code ec;
  if (!fs::is_directory(directory, ec) || ec) return;
  fs::directory_iterator it(directory, ec);
  if (ec) return;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    // A failing step ends the iteration; what was appended so far stays.
    if (ec) return;
    const fs::path& path = it->path();
    boost::system::error_code entryError;
    const fs::file_status status = it->status(entryError);
    if (entryError || !fs::is_regular_file(status)) continue;
    if (path.extension().native() == extension) candidates->push_back(path);
  }
}

bool CandidateBefore(const fs::path& a, const fs::path& b) {
  const bool aMarked = a.native().find(kOrderingMarker) != std::string::npos;
  const bool bMarked = b.native().find(kOrderingMarker) != std::string::npos;
  if (aMarked != bMarked) return aMarked;
  return a.compare(b) < 0;  // element by element
}

std::vector<fs::path> FindCandidates(const std::string& coreDirectory) {
  const fs::path core(coreDirectory);
  std::vector<fs::path> candidates;
  ScanDirectory(core / kPluginDirectory, kPluginExtension, &candidates);
  ScanDirectory(core / kProtectedPluginDirectory, kPluginExtension, &candidates);
  std::sort(candidates.begin(), candidates.end(), CandidateBefore);
  return candidates;
}

}  // namespace pluginhost
