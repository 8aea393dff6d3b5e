#include "platform/supervisor_link.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

bool CreateStreamSocketPair(int* first, int* second) {
  int fds[2] = {-1, -1};
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    *first = *second = -1;
    return false;
  }
  *first = fds[0];
  *second = fds[1];
  return true;
}

bool CreatePipe(int* read_end, int* write_end) {
  int fds[2] = {-1, -1};
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *read_end = *write_end = -1;
    return false;
  }
  *read_end = fds[0];
  *write_end = fds[1];
  return true;
}

int CreateDatagramSocket() { return socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0); }

void CloseDescriptor(int fd) {
  if (fd >= 0) close(fd);
}

void ShutdownSocket(int fd, bool reading, bool writing) {
  if (!reading && !writing) return;
  shutdown(fd, reading && writing ? SHUT_RDWR : (reading ? SHUT_RD : SHUT_WR));
}

void ClearCloseOnExec(int fd) {
  int flags = fcntl(fd, F_GETFD);
  if (flags >= 0) fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC);
}

bool IsCloseOnExec(int fd) {
  int flags = fcntl(fd, F_GETFD);
  return flags >= 0 && (flags & FD_CLOEXEC) != 0;
}

int64_t ReadSome(int fd, void* data, size_t size, int timeout_ms) {
  for (;;) {
    pollfd entry{fd, POLLIN, 0};
    int ready = poll(&entry, 1, timeout_ms < 0 ? -1 : timeout_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return -1;
    if (ready == 0) return -2;
    ssize_t n = read(fd, data, size);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return n < 0 ? -1 : static_cast<int64_t>(n);
  }
}

bool WriteAll(int fd, const void* data, size_t size) {
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = send(fd, next, size, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = write(fd, next, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    next += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void IgnoreBrokenPipeSignal() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace platform
