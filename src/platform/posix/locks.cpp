#include "platform/locks.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/clock.h"
#include "platform/posix/internal.h"

namespace qm::platform {

namespace {

constexpr int kPollMs = 10;

bool tryFlock(int fd) {
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

}  // namespace

std::optional<NamedLock> NamedLock::acquire(std::string_view name, int waitMs) {
  std::string folder = posix::runtimeSubfolder("locks");
  if (folder.empty()) return std::nullopt;
  std::string path = folder + "/" + posix::safeFileName(name);
  // Each acquire opens its own description, so two holders in one process exclude each other too.
  posix::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.valid()) return std::nullopt;
  const long long deadline = monotonicMs() + std::max(waitMs, 0);
  while (!tryFlock(fd.get())) {
    if (errno != EWOULDBLOCK) return std::nullopt;
    long long left = deadline - monotonicMs();
    if (left <= 0) return std::nullopt;
    sleepMs(static_cast<int>(std::min<long long>(left, kPollMs)));
  }
  return NamedLock(fd.release());
}

NamedLock::NamedLock(NamedLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

NamedLock& NamedLock::operator=(NamedLock&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

NamedLock::~NamedLock() {
  release();
}

void NamedLock::release() {
  // The file stays: unlinking it would let a late opener lock a different inode.
  posix::closeFd(std::exchange(fd_, -1));
}

std::unique_ptr<MachineLock> MachineLock::open(std::string_view name) {
  constexpr std::string_view kGlobal = "Global\\";
  if (name.starts_with(kGlobal)) name.remove_prefix(kGlobal.size());
  std::string path = "/tmp/" + posix::safeFileName(name) + ".lock";
  // Shared by every user: open an existing file without O_CREAT (protected_regular refuses
  // O_CREAT on another user's file in /tmp), create it 0666 only when missing.
  int fd = -1;
  for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
    fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0 || errno != ENOENT) break;
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return nullptr;
  // Usable by every user despite the umask (also mending a file we made earlier with less).
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 0777) != 0666) {
    ::fchmod(fd, 0666);
  }
  return std::unique_ptr<MachineLock>(new MachineLock(fd));
}

MachineLock::~MachineLock() {
  posix::closeFd(fd_);
}

void MachineLock::lock() {
  // flock does not exclude threads sharing this descriptor; the mutex does.
  threads_.lock();
  while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
  }
}

void MachineLock::unlock() {
  ::flock(fd_, LOCK_UN);
  threads_.unlock();
}

}  // namespace qm::platform
