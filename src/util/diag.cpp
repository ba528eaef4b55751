#include "util/diag.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#include "platform/files.h"
#include "platform/paths.h"
#include "util/build_info.h"
#include "util/zdlog.h"

namespace qm::diag {

namespace detail {
std::atomic<bool> enabledFlag{false};
}  // namespace detail

namespace {

constexpr int kWriterLevel = 5;
constexpr std::size_t kPrefixLength = 63;

// Written by setLog while the flag is off; a line being composed as logging switches may still
// read it, so it is copied under the mutex.
std::mutex prefixMutex;
char prefixText[kPrefixLength + 1] = "";

std::mutex setLogMutex;

// Internal linkage: the address always lies in the module this library is linked into, even
// when a program and a library loaded by it both carry a copy.
void moduleAnchor() {}

struct Prefix {
  char text[kPrefixLength + 1];
};

Prefix currentPrefix() {
  Prefix p;
  std::lock_guard guard(prefixMutex);
  std::memcpy(p.text, prefixText, sizeof p.text);
  return p;
}

int clampLength(std::size_t n) {
  return n > 0x7fffffff ? 0x7fffffff : static_cast<int>(n);
}

void writeLine(const char* tag, std::string_view label, std::string_view value) {
  Prefix p = currentPrefix();
  zdlog::writeLine(kWriterLevel, "[%s]%s %.*s%.*s", p.text, tag, clampLength(label.size()),
                   label.data(), clampLength(value.size()), value.data());
}

// UTF-16 to UTF-8; nullopt for an unpaired surrogate.
std::optional<std::string> toUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) {
        return std::nullopt;
      }
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return std::nullopt;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

// "" for an unknown folder, so a failed folder look-up never becomes the root folder.
std::string joinPath(std::string folder, std::string_view name) {
  if (folder.empty()) return {};
  if (folder.back() != '/') folder.push_back('/');
  folder.append(name);
  return folder;
}

}  // namespace

namespace detail {

void line(const char* tag, std::string_view label, std::string_view value) {
  writeLine(tag, label, value);
}

void line(const char* tag, std::string_view label, long long value) {
  char number[32];
  int n = std::snprintf(number, sizeof number, "%lld", value);
  writeLine(tag, label, std::string_view(number, n > 0 ? static_cast<std::size_t>(n) : 0));
}

void line(const char* tag, std::string_view label, std::u16string_view value) {
  try {
    writeLine(tag, label, toUtf8(value).value_or(std::string()));
  } catch (const std::bad_alloc&) {
    allocationFailure(__FILE_NAME__, __LINE__);
  }
}

}  // namespace detail

bool setLog(const char* prefix) {
  std::lock_guard guard(setLogMutex);
  if (enabled()) return true;
  if (!prefix) {
    QM_NULL_PARAMETER("inputPrefixName");
    detail::enabledFlag.store(false);
    return false;
  }
  {
    std::lock_guard prefixGuard(prefixMutex);
    std::snprintf(prefixText, sizeof prefixText, "%s", prefix);
  }

  // Program (or library) folder, then the system's configuration folder, then the user's temp
  // folder; without a hit the writer searches its own places for the bare name.
  const std::string places[] = {
      joinPath(platform::moduleFolder(reinterpret_cast<const void*>(&moduleAnchor)),
               kLogSettingsFile),
      joinPath(platform::windowsFolder(), kLogSettingsFile),
      joinPath(platform::userTempFolder(), kLogSettingsFile)};
  std::string iniPath = kLogSettingsFile;
  for (const std::string& place : places) {
    if (platform::fileTest(place)) {
      iniPath = place;
      break;
    }
  }
  int result = zdlog::initialise(iniPath.c_str());
  zdlog::writeLine(kWriterLevel, "%s %d %s Compile Time : %s %s", __FILE_NAME__, __LINE__, "setLog",
                   build::date(), build::time());
  detail::enabledFlag.store(result == 0);
  if (enabled()) normal("Log state: ", "Enable");
  return enabled();
}

void disable() {
  detail::enabledFlag.store(false);
}

void nullParameter(const char* name, const char* file, int line) {
  if (!enabled()) return;
  char text[512];
  std::snprintf(text, sizeof text, "Parameter %s is null at %s %d", name ? name : "",
                file ? file : "", line);
  warning("", text);
}

void allocationFailure(const char* file, int line) {
  error("Memory allocate fail at file: ", file);
  error("Memory allocate fail at line: ", static_cast<long long>(line));
}

}  // namespace qm::diag
