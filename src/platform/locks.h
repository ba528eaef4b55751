// Named locks: per-user named mutexes (flock on a file in <runtime folder>/locks) and the
// machine-wide log lock. The death of a holder releases its locks. Unlike a Windows mutex a
// named lock is not recursive: a second acquire of a held name fails, in this process too.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace qm::platform {

// A held per-user named lock. Movable; releasing (destruction) frees it.
class NamedLock {
 public:
  // Tries to take the lock called `name` (any text; separators are made safe), polling until
  // `waitMs` has passed (0: one attempt). nullopt when it stays held by someone else.
  static std::optional<NamedLock> acquire(std::string_view name, int waitMs);

  NamedLock(NamedLock&& other) noexcept;
  NamedLock& operator=(NamedLock&& other) noexcept;
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;
  ~NamedLock();

  void release();

 private:
  explicit NamedLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// The machine-wide lock "Global\ZDLog": an in-process mutex plus flock on /tmp/ZDLog.lock
// (created 0666). lock() waits without limit.
class MachineLock {
 public:
  // Opens (creating when missing) the lock file; nullptr when it cannot be opened.
  static std::unique_ptr<MachineLock> open(std::string_view name);
  ~MachineLock();
  void lock();
  void unlock();

 private:
  explicit MachineLock(int fd) : fd_(fd) {}
  int fd_ = -1;
  std::mutex threads_;
};

}  // namespace qm::platform
