#include "platform/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

int64_t StartProcess(const std::string& path, const std::vector<std::string>& args,
                     int inherit_fd, std::string* error) {
  // Everything the child needs is built before fork: after it, only
  // async-signal-safe calls are allowed.
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  // A pipe that exec closes tells the parent whether exec succeeded.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    if (error != nullptr) *error = std::strerror(errno);
    return -1;
  }
  pid_t pid = fork();
  if (pid < 0) {
    if (error != nullptr) *error = std::strerror(errno);
    close(report[0]);
    close(report[1]);
    return -1;
  }
  if (pid == 0) {
    close(report[0]);
    if (inherit_fd >= 0) {
      int flags = fcntl(inherit_fd, F_GETFD);
      if (flags >= 0) fcntl(inherit_fd, F_SETFD, flags & ~FD_CLOEXEC);
    }
    execv(path.c_str(), argv.data());
    int code = errno;
    ssize_t ignored = write(report[1], &code, sizeof code);
    (void)ignored;
    _exit(127);
  }
  close(report[1]);
  int code = 0;
  ssize_t n;
  do {
    n = read(report[0], &code, sizeof code);
  } while (n < 0 && errno == EINTR);
  close(report[0]);
  if (n == static_cast<ssize_t>(sizeof code)) {
    if (error != nullptr) *error = std::strerror(code);
    int ignored;
    waitpid(pid, &ignored, 0);
    return -1;
  }
  return pid;
}

bool WaitProcess(int64_t pid, int timeout_ms, int* status) {
  const timespec step{0, 5 * 1000 * 1000};
  int waited_ms = 0;
  for (;;) {
    int raw = 0;
    pid_t done = waitpid(static_cast<pid_t>(pid), &raw, timeout_ms < 0 ? 0 : WNOHANG);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) return false;
    if (done == static_cast<pid_t>(pid)) {
      *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      return true;
    }
    if (waited_ms >= timeout_ms) return false;
    nanosleep(&step, nullptr);
    waited_ms += 5;
  }
}

void SignalProcess(int64_t pid, int signal) { kill(static_cast<pid_t>(pid), signal); }

}  // namespace platform
