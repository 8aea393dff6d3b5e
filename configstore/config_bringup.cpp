#include "configstore/config_bringup.h"

#include <cerrno>
#include <cstdlib>
#include <thread>

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>
#include <tinyxml.h>

#include "configstore/user_accounts.h"
#include "configstore/xml_document.h"
#include "base/log.h"
#include "platform/platform.h"

namespace configstore {
namespace {

namespace fs = boost::filesystem;

constexpr int kOpenAttempts = 3;
constexpr char kStartDirectoryName[] = "core";

void LogText(CoreWriteFn write, int32_t level, const std::string& text) {
  base::Log(CORE_MODULE_ID, write, level, "%s", text.c_str());
}

std::string ErrnoText(int error) {
  return std::to_string(error) + " - " + platform::ErrorText(error);
}

// The only setting the core needs from core.xml to start: an integer
// Throttling attribute on a Memory child of the root element.
bool HasThrottlingSetting(const TiXmlDocument& document) {
  const TiXmlElement* root = document.RootElement();
  if (root == nullptr) return false;
  const TiXmlElement* memory = root->FirstChildElement("Memory");
  int throttling = 0;
  return memory != nullptr && memory->QueryIntAttribute("Throttling", &throttling) == TIXML_SUCCESS;
}

// Both documents unusable: tell the logging plugin (nothing else is loaded
// yet), give a stop request the chance to end the process cleanly, exit.
void ConfigurationStop(const std::string& coreDirectory, const std::string& userAccountsText,
                       const std::string& coreText, BringUpHost& host,
                       const BringUpOptions& options) {
  host.DeliverLogOnce(coreDirectory, userAccountsText + "\n" + coreText);
  LogText(host.Writer(), base::kLevelWarning, "Config issue detected, pausing core for 10 seconds...");

  const auto step = options.pollStep.count() > 0 ? options.pollStep : std::chrono::milliseconds(1);
  const auto steps = (options.pause.count() + step.count() - 1) / step.count();
  const auto stopped = [&host] { return host.StopRequested(); };
  for (auto i = steps; i > 0 && !stopped(); --i) {
    std::this_thread::sleep_for(step);
    host.PollIo();
  }
  const int code = stopped() ? kExitStopped : kExitConfigFailed;
  host.ExitProcess(code);
}

}  // namespace

std::string CheckCoreConfiguration(const std::string& startDirectory, CoreWriteFn write,
                                   platform::FileOps& files) {
  const std::string path = (fs::path(startDirectory) / kCoreConfigFile).string();

  std::string remarks;
  for (const char* suffix : {".pending", ".bak"}) {
    if (files.Exists(path + suffix)) {
      const std::string remark = std::string(kCoreConfigFile) + suffix + " exists";
      LogText(write, base::kLevelWarning, remark);
      remarks += remark + "\n";
    }
  }

  uintmax_t size = 0;
  if (const boost::system::error_code error = files.FileSize(path, &size)) {
    if (error == boost::system::errc::no_such_file_or_directory) {
      LogText(write, base::kLevelInfo, "Config core.xml does not exist, first run");
      return std::string();
    }
    return remarks + "Config core.xml: " + error.message();
  }
  if (size == 0) return remarks + "Config core.xml: zero bytes";

  int error = 0;
  std::FILE* file = nullptr;
  for (int attempt = 0; attempt < kOpenAttempts && file == nullptr; ++attempt) {
    file = files.OpenStream(path, "rb", &error);
  }
  if (file == nullptr) return remarks + "Config core.xml: " + ErrnoText(error);

  TiXmlDocument document;
  int readError = 0;
  const bool parsed = LoadXmlStream(document, file, files, &readError);
  files.CloseStream(file);
  if (readError != 0) return remarks + "Config core.xml (read): " + ErrnoText(readError);
  if (!parsed) {
    return remarks + "Config core.xml (parse): " + std::to_string(document.ErrorId()) + " - " +
           document.ErrorDesc();
  }
  if (!HasThrottlingSetting(document)) return remarks + "Failed to validate core.xml";
  return std::string();
}

bool RunConfigBringUp(const std::string& coreDirectory, BringUpHost& host,
                      const BringUpOptions& options) {
  platform::FileOps& files = options.files != nullptr ? *options.files : platform::DefaultFileOps();

  // The documents are judged where the core was started, even when the
  // working directory moves to the core directory below.
  boost::system::error_code ignored;
  const std::string startDirectory = files.CurrentDirectory(&ignored);
  const fs::path start(startDirectory);
  const bool mismatch =
      start != fs::path(coreDirectory) && start.filename() != fs::path(kStartDirectoryName);
  if (mismatch) files.ChangeDirectory(coreDirectory);

  const std::string userAccountsText = CheckUserAccounts(startDirectory, files);
  const std::string coreText = CheckCoreConfiguration(startDirectory, host.Writer(), files);
  if (!userAccountsText.empty() && !coreText.empty()) {
    ConfigurationStop(coreDirectory, userAccountsText, coreText, host, options);
    return false;
  }

  base::Log(CORE_MODULE_ID, host.Writer(), base::kLevelInfo, "Current directory: %s",
            startDirectory.c_str());
  if (mismatch) {
    base::Log(CORE_MODULE_ID, host.Writer(), base::kLevelWarning,
              "Current directory does not match core directory %s", coreDirectory.c_str());
  }
  if (!userAccountsText.empty()) LogText(host.Writer(), base::kLevelFatal, userAccountsText);
  if (!coreText.empty()) LogText(host.Writer(), base::kLevelFatal, coreText);
  return true;
}

}  // namespace configstore
