#include "platform/event.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/clock.h"
#include "platform/posix/internal.h"

namespace qm::platform {

namespace {

// Without inotify (watch limit reached) the counter is polled at this pace.
constexpr int kFallbackPollMs = 50;

// The event file holds the number of pulses so far, 8 bytes; an empty file counts 0.
bool readCounter(int fd, unsigned long long* value) {
  while (::flock(fd, LOCK_SH) != 0) {
    if (errno != EINTR) return false;
  }
  unsigned long long counter = 0;
  ssize_t got = ::pread(fd, &counter, sizeof counter, 0);
  ::flock(fd, LOCK_UN);
  if (got < 0) return false;
  *value = got == static_cast<ssize_t>(sizeof counter) ? counter : 0;
  return true;
}

std::optional<std::string> eventPath(std::string_view name) {
  std::string folder = posix::runtimeSubfolder("events");
  if (folder.empty()) return std::nullopt;
  return folder + "/" + posix::safeFileName(name);
}

}  // namespace

std::optional<NamedEvent> NamedEvent::openOrCreate(std::string_view name) {
  auto path = eventPath(name);
  if (!path) return std::nullopt;
  int fd = ::open(path->c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return std::nullopt;
  return adopt(std::move(*path), fd);
}

std::optional<NamedEvent> NamedEvent::open(std::string_view name) {
  auto path = eventPath(name);
  if (!path) return std::nullopt;
  int fd = ::open(path->c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  return adopt(std::move(*path), fd);
}

std::optional<NamedEvent> NamedEvent::adopt(std::string path, int fd) {
  NamedEvent event;
  event.path_ = std::move(path);
  event.fd_ = fd;
  // Watch before reading the counter, so no pulse falls between the two.
  event.watch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (event.watch_ >= 0 &&
      ::inotify_add_watch(event.watch_, event.path_.c_str(),
                          IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF) < 0) {
    posix::closeFd(std::exchange(event.watch_, -1));
  }
  if (!readCounter(fd, &event.seen_)) return std::nullopt;
  return event;
}

NamedEvent::NamedEvent(NamedEvent&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(std::exchange(other.fd_, -1)),
      watch_(std::exchange(other.watch_, -1)),
      seen_(other.seen_),
      removalReported_(other.removalReported_) {}

NamedEvent& NamedEvent::operator=(NamedEvent&& other) noexcept {
  if (this != &other) {
    posix::closeFd(fd_);
    posix::closeFd(watch_);
    path_ = std::move(other.path_);
    fd_ = std::exchange(other.fd_, -1);
    watch_ = std::exchange(other.watch_, -1);
    seen_ = other.seen_;
    removalReported_ = other.removalReported_;
  }
  return *this;
}

NamedEvent::~NamedEvent() {
  posix::closeFd(fd_);
  posix::closeFd(watch_);
}

bool NamedEvent::pulse() {
  if (fd_ < 0 || removed()) return false;
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  unsigned long long counter = 0;
  ssize_t got = ::pread(fd_, &counter, sizeof counter, 0);
  if (got != static_cast<ssize_t>(sizeof counter)) counter = 0;
  ++counter;
  bool written = ::pwrite(fd_, &counter, sizeof counter, 0) == static_cast<ssize_t>(sizeof counter);
  ::flock(fd_, LOCK_UN);
  return got >= 0 && written;
}

bool NamedEvent::removed() const {
  struct stat held {
  }, named{};
  if (::fstat(fd_, &held) != 0 || held.st_nlink == 0) return true;
  // Removed and created again: this handle belongs to the old object.
  return ::stat(path_.c_str(), &named) != 0 || named.st_ino != held.st_ino ||
         named.st_dev != held.st_dev;
}

bool NamedEvent::wait(int timeoutMs) {
  if (fd_ < 0) return false;
  const long long deadline = timeoutMs < 0 ? -1 : monotonicMs() + timeoutMs;
  while (true) {
    if (removed() && !followSuccessor()) {
      // Report the removal once; after that wait for a restarted creator, so a listener that
      // woke between the removal and the re-creation still gets the new event's pulses.
      if (!removalReported_) {
        removalReported_ = true;
        return false;
      }
      long long remaining = deadline < 0 ? kFallbackPollMs : deadline - monotonicMs();
      if (remaining <= 0) return false;
      sleepMs(static_cast<int>(std::min<long long>(remaining, kFallbackPollMs)));
      continue;
    }
    unsigned long long counter = 0;
    if (!readCounter(fd_, &counter)) return false;
    if (counter > seen_) {
      ++seen_;  // one pulse per wait, so two quick pulses give two wake-ups
      return true;
    }
    seen_ = counter;
    int left = -1;
    if (deadline >= 0) {
      long long remaining = deadline - monotonicMs();
      if (remaining <= 0) return false;
      left = static_cast<int>(std::min<long long>(remaining, 1 << 30));
    }
    if (watch_ < 0) {
      sleepMs(left < 0 ? kFallbackPollMs : std::min(left, kFallbackPollMs));
      continue;
    }
    pollfd pfd{watch_, POLLIN, 0};
    int ready = ::poll(&pfd, 1, left);
    if (ready < 0 && errno != EINTR) return false;
    if (ready > 0) {
      alignas(inotify_event) char buffer[4096];
      while (::read(watch_, buffer, sizeof buffer) > 0) {
      }
    }
  }
}

bool NamedEvent::followSuccessor() {
  int fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  auto successor = adopt(path_, fd);
  if (!successor) return false;
  successor->seen_ = 0;  // every pulse of the newer event came after ours was removed
  *this = std::move(*successor);
  return true;
}

void NamedEvent::remove() {
  if (path_.empty() || fd_ < 0) return;
  // Only the object this handle opened; a newer one of the same name stays.
  if (!removed()) ::unlink(path_.c_str());
}

}  // namespace qm::platform
