#include "platform/signals.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace qm::platform {
namespace {

// Self-pipe: the handler writes one byte, the waiter reads. Both ends are non-blocking and
// close on exec, so started programs inherit neither the pipe nor a blocked signal mask.
std::atomic<int> writeEnd{-1};
int readEnd = -1;
std::once_flag pipeOnce;

void onStopSignal(int) {
  int savedErrno = errno;
  int fd = writeEnd.load(std::memory_order_relaxed);
  if (fd >= 0) {
    char byte = 1;
    // A full pipe already holds a pending request.
    [[maybe_unused]] ssize_t written = ::write(fd, &byte, 1);
  }
  errno = savedErrno;
}

bool openPipe() {
  std::call_once(pipeOnce, [] {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    readEnd = fds[0];
    writeEnd.store(fds[1]);
  });
  return readEnd >= 0;
}

}  // namespace

bool installStopSignals() {
  if (!openPipe()) return false;
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  return ::sigaction(SIGTERM, &action, nullptr) == 0 && ::sigaction(SIGINT, &action, nullptr) == 0;
}

bool waitStopSignal(int timeoutMs) {
  if (!openPipe()) return false;
  pollfd waiter{readEnd, POLLIN, 0};
  int ready = ::poll(&waiter, 1, timeoutMs < 0 ? -1 : timeoutMs);
  if (ready <= 0 || (waiter.revents & POLLIN) == 0) return false;
  char bytes[64];
  bool taken = false;
  while (::read(readEnd, bytes, sizeof bytes) > 0) taken = true;
  return taken;
}

void raiseStopRequest() {
  if (openPipe()) onStopSignal(0);
}

}  // namespace qm::platform
