// Helpers shared by the POSIX implementation only.
#pragma once

#include <string>
#include <string_view>

namespace qm::platform::posix {

// Owns a file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Closes the descriptor, ignoring EINTR (Linux closes it anyway).
void closeFd(int fd);

// A single path component for any object name: '/', '\' and '%' are written as %XX so distinct
// names never collide; "", "." and ".." are escaped as well.
std::string safeFileName(std::string_view name);

// Makes `<runtime folder>/<sub>` (mode 0700) and returns it; "" when that fails.
std::string runtimeSubfolder(const char* sub);

// Environment value, nullptr when unset or empty.
const char* envValue(const char* name);

}  // namespace qm::platform::posix
