#include "platform/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace platform {

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && exitCode_ < 0) {
    kill(pid_, SIGKILL);
    Wait(std::chrono::seconds(10));
  }
  if (reader_.joinable()) reader_.join();
}

bool ChildProcess::Start(const std::string& path, const std::vector<std::string>& args,
                         const std::string& directory, const std::vector<int>& inherit) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return false;
  }
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    long maxFd = sysconf(_SC_OPEN_MAX);
    for (int fd = 3; fd < maxFd && fd < 4096; ++fd) {
      if (std::find(inherit.begin(), inherit.end(), fd) != inherit.end()) {
        int flags = fcntl(fd, F_GETFD);
        if (flags >= 0) fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC);
        continue;
      }
      close(fd);
    }
    if (!directory.empty() && chdir(directory.c_str()) != 0) _exit(126);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  if (pid_ < 0) {
    close(out[0]);
    close(err[0]);
    return false;
  }
  reader_ = std::thread(&ChildProcess::Collect, this, out[0], err[0]);
  return true;
}

void ChildProcess::Collect(int outFd, int errFd) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  int open = 2;
  char buffer[4096];
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
        continue;
      }
      std::lock_guard lock(mutex_);
      (i == 0 ? out_ : err_).append(buffer, static_cast<size_t>(n));
      changed_.notify_all();
    }
  }
}

void ChildProcess::Signal(int signal) {
  if (pid_ > 0 && exitCode_ < 0) kill(pid_, signal);
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (exitCode_ >= 0) return exitCode_;
  if (pid_ <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      if (reader_.joinable()) reader_.join();
      return exitCode_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    usleep(5000);
  }
}

bool ChildProcess::WaitForOutput(const std::string& needle, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    return out_.find(needle) != std::string::npos || err_.find(needle) != std::string::npos;
  });
}

std::string ChildProcess::Stdout() const {
  std::lock_guard lock(mutex_);
  return out_;
}

std::string ChildProcess::Stderr() const {
  std::lock_guard lock(mutex_);
  return err_;
}

}  // namespace platform
