// Test support for the document tests: a scratch directory that is the
// current directory while the object lives (the documents are read and
// written relative to it), and file helpers.
#ifndef PLUGINHOST_DOCUMENT_TEST_SUPPORT_H_
#define PLUGINHOST_DOCUMENT_TEST_SUPPORT_H_

#include <fstream>
#include <iterator>
#include <string>

#include <boost/filesystem.hpp>

namespace pluginhost::testing {

class ScratchWorkDir {
 public:
  ScratchWorkDir() {
    boost::filesystem::create_directories(path_);
    boost::filesystem::current_path(path_);
  }
  ~ScratchWorkDir() {
    boost::system::error_code ignored;
    boost::filesystem::current_path(previous_, ignored);
    boost::filesystem::remove_all(path_, ignored);
  }
  static void Write(const std::string& name, const std::string& text) { std::ofstream(name) << text; }
  static std::string Read(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  const boost::filesystem::path previous_ = boost::filesystem::current_path();
  const boost::filesystem::path path_ = boost::filesystem::temp_directory_path() /
                                        boost::filesystem::unique_path("documents-%%%%-%%%%-%%%%");
};

}  // namespace pluginhost::testing

#endif  // PLUGINHOST_DOCUMENT_TEST_SUPPORT_H_
