#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/internal.h"

namespace qm::platform {

namespace {

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t done = ::write(fd, bytes.data(), bytes.size());
    if (done < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(done));
  }
  return true;
}

bool writeFile(const std::string& path, std::string_view bytes, int mode) {
  if (path.empty()) return false;
  posix::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | mode, 0666));
  if (!fd.valid()) return false;
  bool written = writeAll(fd.get(), bytes);
  return ::close(fd.release()) == 0 && written;
}

}  // namespace

bool fileTest(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool folderExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::uint64_t> fileSize(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::optional<std::string> readTextFile(const std::string& path) {
  if (path.empty()) return std::nullopt;
  posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;  // e.g. a folder
    }
    if (got == 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

bool writeTextFile(const std::string& path, const std::string& text) {
  return writeFile(path, text, O_TRUNC);
}

bool appendToFile(const std::string& path, std::string_view bytes) {
  // One write per call with O_APPEND, so lines of several processes never interleave.
  return writeFile(path, bytes, O_APPEND);
}

}  // namespace qm::platform
