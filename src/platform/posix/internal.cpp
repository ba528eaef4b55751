#include "platform/posix/internal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/paths.h"

namespace qm::platform::posix {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) closeFd(fd_);
  fd_ = fd;
}

void closeFd(int fd) {
  if (fd >= 0) ::close(fd);
}

std::string safeFileName(std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(name.size() + 4);
  auto escape = [&out](unsigned char c) {
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 0x0F];
  };
  for (char c : name) {
    if (c == '/' || c == '\\' || c == '%' || c == '\0') {
      escape(static_cast<unsigned char>(c));
    } else {
      out += c;
    }
  }
  if (out.empty() || out == "." || out == "..") {
    // "%", "%2E", "%2E%2E": no other name escapes to these.
    std::string dots;
    dots.swap(out);
    if (dots.empty()) out.push_back('%');
    for (char c : dots) escape(static_cast<unsigned char>(c));
  }
  return out;
}

std::string runtimeSubfolder(const char* sub) {
  std::string base = runtimeFolder();
  if (base.empty()) return {};
  std::string folder = base + "/" + sub;
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
    return {};
  }
  return folder;
}

const char* envValue(const char* name) {
  const char* value = std::getenv(name);
  return (value != nullptr && *value != '\0') ? value : nullptr;
}

}  // namespace qm::platform::posix
