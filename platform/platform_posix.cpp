#include "platform/platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace platform {

LibraryHandle OpenLibrary(const std::string& path, std::string* error) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr && error != nullptr) {
    const char* reason = dlerror();
    *error = reason != nullptr ? reason : "unknown loader error";
  }
  return handle;
}

void* FindSymbol(LibraryHandle library, const char* name) {
  return library != nullptr ? dlsym(library, name) : nullptr;
}

void CloseLibrary(LibraryHandle library) {
  if (library != nullptr) dlclose(library);
}

bool ConsoleSupportsColour() {
  if (fcntl(1, F_GETFD) == -1) return true;  // no standard output at all
  return isatty(1) != 0;
}

void EndProcessNow(int code) { _exit(code); }

void WriteConsole(const char* text, size_t length) {
  ssize_t ignored = write(1, text, length);
  (void)ignored;
}

void WriteError(const char* text, size_t length) {
  ssize_t ignored = write(2, text, length);
  (void)ignored;
}

void DetachFromConsole() {
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) return;
  dup2(null, 0);
  dup2(null, 1);
  dup2(null, 2);
  if (null > 2) close(null);
}

int64_t SteadyNowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int64_t WallNowSeconds() { return static_cast<int64_t>(time(nullptr)); }

void UtcTimeOfDay(int64_t seconds, int* hours, int* minutes, int* secs) {
  time_t t = static_cast<time_t>(seconds);
  tm parts;
  std::memset(&parts, 0, sizeof parts);
  gmtime_r(&t, &parts);
  *hours = parts.tm_hour;
  *minutes = parts.tm_min;
  *secs = parts.tm_sec;
}

std::string ExecutablePath(const char* argv0) {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n > 0) return std::string(buffer, static_cast<size_t>(n));
  std::error_code ec;
  std::filesystem::path path = argv0 != nullptr ? argv0 : "";
  path = std::filesystem::absolute(path, ec);
  return path.lexically_normal().string();
}

void RaiseThreadPriority() {
  // Needs CAP_SYS_NICE; without it the dispatcher simply keeps its priority.
  int ignored = setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -2);
  (void)ignored;
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(gettid()); }

bool IsStreamSocket(int64_t fd) {
  if (fd <= 2 || fd > INT_MAX) return false;
  struct stat st;
  if (fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
  int type = 0;
  socklen_t length = sizeof type;
  if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type, &length) != 0) return false;
  return type == SOCK_STREAM;
}

void SetCloseOnExec(int fd) {
  int flags = fcntl(fd, F_GETFD);
  if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

std::string ErrorText(int error) { return std::strerror(error); }

}  // namespace platform
