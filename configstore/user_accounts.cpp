#include "configstore/user_accounts.h"

#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>

#include <boost/filesystem/path.hpp>

#include "platform/platform.h"

namespace configstore {
namespace {

constexpr int kOpenAttempts = 3;

std::string ValidationFailure(int error) {
  return "Failed to validate useraccounts.xml: " + std::to_string(error) + " - " +
         platform::ErrorText(error);
}

}  // namespace

std::string CheckUserAccounts(const std::string& startDirectory, platform::FileOps& files) {
  const std::string path = (boost::filesystem::path(startDirectory) / kUserAccountsFile).string();

  // A missing file is a fault here: unlike core.xml, there is no first run
  // without user accounts.
  uintmax_t size = 0;
  if (const boost::system::error_code error = files.FileSize(path, &size)) {
    return "useraccounts.xml: " + error.message();
  }
  if (size == 0) return "useraccounts.xml: zero bytes";

  int error = 0;
  std::FILE* file = nullptr;
  for (int attempt = 0; attempt < kOpenAttempts && file == nullptr; ++attempt) {
    file = files.OpenStream(path, "rb", &error);
  }
  if (file == nullptr) return ValidationFailure(error);

  // The whole file in one read, into a buffer of exactly its size.
  std::unique_ptr<char[]> buffer(size <= SIZE_MAX ? new (std::nothrow) char[size] : nullptr);
  size_t items = 0;
  if (buffer == nullptr) {
    error = ENOMEM;
  } else {
    items = files.ReadItem(file, buffer.get(), static_cast<size_t>(size), &error);
  }
  files.CloseStream(file);
  if (items != 1 || error != 0) return ValidationFailure(error);
  return std::string();
}

}  // namespace configstore
