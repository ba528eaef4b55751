#include "util/zdlog.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <optional>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/locks.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace qm::zdlog {
namespace {

constexpr std::size_t kLogFileSize = 128;  // 127 characters
constexpr std::size_t kMaxSizeSize = 64;
constexpr std::size_t kLevelSize = 16;
constexpr std::size_t kIniLineLength = 255;
constexpr std::size_t kFileNameLength = 127;

std::atomic<int> levelValue{0};
std::atomic<bool> initialisedFlag{false};
// Opened once and kept for the life of the process: threads may still be waiting on it while
// logging is switched off and on again.
std::atomic<platform::MachineLock*> lockPtr{nullptr};

// Log file name, maximum size and rotation index; read by every line, written by
// initialise and reset. Plain data, so it is usable before static constructors have run.
std::mutex configMutex;
char logFileName[kLogFileSize] = "";
long long maxSize = 0;
int rotationIndex = 0;

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
  return s;
}

// Section name of a header line "[name]", or nullopt when the line is no header.
std::optional<std::string_view> sectionName(std::string_view line) {
  std::string_view t = trim(line);
  if (t.size() < 2 || t.front() != '[' || t.back() != ']') return std::nullopt;
  return trim(t.substr(1, t.size() - 2));
}

// Leading decimal number after optional white space and sign; 0 when there is none.
long long leadingNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && isSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value < 1'000'000'000'000LL) value = value * 10 + (text[i] - '0');
  }
  return negative ? -value : value;
}

int clampInt(long long v) {
  if (v > 2147483647LL) return 2147483647;
  if (v < -2147483647LL) return -2147483647;
  return static_cast<int>(v);
}

std::string_view valueOf(std::string_view rest) {
  while (!rest.empty() && (rest.back() == '\r' || rest.back() == '\n')) rest.remove_suffix(1);
  std::size_t start = 0;
  while (start < rest.size() && isSpace(rest[start])) ++start;
  if (start < rest.size() && (rest[start] == '"' || rest[start] == '\'')) {
    std::size_t last = rest.rfind(rest[start]);
    if (last > start) return rest.substr(start + 1, last - start - 1);
  }
  return rest;
}

platform::MachineLock* ensureLock() {
  platform::MachineLock* current = lockPtr.load();
  if (current) return current;
  std::unique_ptr<platform::MachineLock> opened = platform::MachineLock::open(kLockName);
  if (!opened) return nullptr;
  platform::MachineLock* expected = nullptr;
  if (lockPtr.compare_exchange_strong(expected, opened.get())) return opened.release();
  return expected;
}

// Name for this line; grows the rotation index past files above the maximum size.
std::string fileNameFor(const platform::LocalTime& t) {
  std::lock_guard guard(configMutex);
  std::string name = dailyFileName(logFileName, t.year, t.month, t.day, rotationIndex);
  if (maxSize <= 0) return name;
  for (;;) {
    std::optional<std::uint64_t> size = platform::fileSize(name);
    if (!size || *size <= static_cast<std::uint64_t>(maxSize)) return name;
    std::string next = dailyFileName(logFileName, t.year, t.month, t.day, rotationIndex + 1);
    // A name cut so short that the index no longer shows: keep using it.
    if (next == name) return name;
    ++rotationIndex;
    name = std::move(next);
  }
}

}  // namespace

int readIniValue(std::string_view key, std::string& value, std::size_t bufferSize,
                 const std::string& iniPath) {
  std::optional<std::string> text = platform::readTextFile(iniPath);
  if (!text) return kIniNoFile;

  bool inSection = false;
  std::string_view rest = *text;
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end == std::string_view::npos ? rest.size() : end + 1);
    rest.remove_prefix(line.size());
    // Longer lines count with their first characters only.
    if (line.size() > kIniLineLength) line = line.substr(0, kIniLineLength);

    std::optional<std::string_view> section = sectionName(line);
    if (!inSection) {
      if (section && equalsNoCase(*section, kIniSection)) inSection = true;
      continue;
    }
    if (section) return kIniNoKey;
    if (line.front() == ';') continue;
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos || !equalsNoCase(line.substr(0, eq), key)) continue;
    std::string_view v = valueOf(line.substr(eq + 1));
    if (bufferSize == 0 || v.size() > bufferSize - 1) return kIniValueTooLong;
    value.assign(v);
    return kIniOk;
  }
  return inSection ? kIniNoKey : kIniNoSection;
}

std::string dailyFileName(std::string_view logFile, int year, int month, int day,
                          int rotationIndex) {
  std::string native = platform::nativePath(logFile);
  std::size_t lastSeparator = native.rfind('/');
  std::size_t dot = native.rfind('.');
  // Only a "." of the file's own name starts an extension, never one of a folder.
  bool hasDot =
      dot != std::string::npos && (lastSeparator == std::string::npos || dot > lastSeparator);
  std::string base = hasDot ? native.substr(0, dot) : native;
  std::string extension = hasDot ? native.substr(dot) : std::string();
  char date[64];
  if (rotationIndex > 0) {
    std::snprintf(date, sizeof date, "_%04d%02d%02d_%d", year, month, day, rotationIndex);
  } else {
    std::snprintf(date, sizeof date, "_%04d%02d%02d", year, month, day);
  }
  std::string name = base + date + extension;
  if (name.size() > kFileNameLength) name.resize(kFileNameLength);
  return name;
}

const char* levelTag(int level) {
  static constexpr const char* kTags[] = {"",        "[FATAL]", "[ERROR]",
                                          "[WARN ]", "[INFO ]", "[DEBUG]"};
  if (level <= 0) return kTags[0];
  if (level <= 5) return kTags[level];
  return "[TRACE]";
}

int initialise(const char* iniPath) {
  std::string path;
  int result;
  int level = 0;
  {
    std::lock_guard guard(configMutex);
    if (initialisedFlag.load()) return kAlreadyInitialised;
    if (iniPath) path = iniPath;
    std::string value;
    if (iniPath && path.find_first_of("/\\") == std::string::npos) {
      const std::string places[] = {platform::windowsFolder() + "/" + path,
                                    platform::homeFolder() + path,
                                    platform::homeDriveTmpFolder() + path};
      std::string chosen = places[2];
      for (const std::string& place : places) {
        if (readIniValue("Log File", value, kLogFileSize, place) == kIniOk) {
          chosen = place;
          break;
        }
      }
      path = chosen;
    }

    std::string name = readIniValue("Log File", value, kLogFileSize, path) == kIniOk
                           ? value
                           : platform::defaultLogFile();
    std::snprintf(logFileName, sizeof logFileName, "%s", name.c_str());
    maxSize =
        readIniValue("Log MaxSize", value, kMaxSizeSize, path) == kIniOk ? leadingNumber(value) : 0;
    result = readIniValue("Log Level", value, kLevelSize, path);
    if (result == kIniOk) level = clampInt(leadingNumber(value));
    // The lock comes before the first line so that line is serialised too.
    ensureLock();
    levelValue.store(level);
    initialisedFlag.store(result == kIniOk);
  }
  if (result == kIniOk) writeLine(level, "Log Enable '%s'", path.c_str());
  return result;
}

void writeLineV(int level, const char* format, va_list args) {
  try {
    platform::LocalTime t = platform::localNow().value_or(platform::LocalTime{});
    std::string name = fileNameFor(t);

    char head[160];
    char dateTime[64];
    std::snprintf(dateTime, sizeof dateTime, "%d-%02d-%02d %02d:%02d:%02d.%03lu", t.year, t.month,
                  t.day, t.hour, t.minute, t.second, static_cast<unsigned long>(t.millisecond));
    int headLength =
        std::snprintf(head, sizeof head, "%s %s [%05lu-%05lu] ", dateTime, levelTag(level),
                      static_cast<unsigned long>(platform::currentProcessId() % 100000),
                      static_cast<unsigned long>(platform::currentThreadId() % 100000));
    if (headLength < 0) return;

    std::string line(head, static_cast<std::size_t>(headLength));
    char message[1024];
    va_list copy;
    va_copy(copy, args);
    int length = format ? std::vsnprintf(message, sizeof message, format, copy) : 0;
    va_end(copy);
    if (length < 0) return;
    if (static_cast<std::size_t>(length) < sizeof message) {
      line.append(message, static_cast<std::size_t>(length));
    } else {
      std::size_t start = line.size();
      line.resize(start + static_cast<std::size_t>(length) + 1);
      va_copy(copy, args);
      std::vsnprintf(line.data() + start, static_cast<std::size_t>(length) + 1, format, copy);
      va_end(copy);
      line.resize(start + static_cast<std::size_t>(length));
    }
    line.push_back('\n');
    // A file that cannot be opened drops the line; the program goes on.
    platform::appendToFile(name, line);
  } catch (const std::bad_alloc&) {
    // No memory for the line: dropped.
  }
}

int writeLine(int level, const char* format, ...) {
  // An unconfigured writer has no file to write to: even level 0 is dropped.
  if (level > levelValue.load(std::memory_order_relaxed) || !initialisedFlag.load()) {
    return kLevelFiltered;
  }
  platform::MachineLock* machineLock = lockPtr.load();
  if (machineLock) machineLock->lock();
  va_list args;
  va_start(args, format);
  writeLineV(level, format, args);
  va_end(args);
  if (machineLock) machineLock->unlock();
  return 0;
}

int configuredLevel() {
  return levelValue.load(std::memory_order_relaxed);
}

bool initialised() {
  return initialisedFlag.load();
}

platform::MachineLock* lock() {
  return lockPtr.load();
}

void reset() {
  std::lock_guard guard(configMutex);
  levelValue.store(0);
  initialisedFlag.store(false);
  ensureLock();
}

void closeForUnload() {
  std::lock_guard guard(configMutex);
  levelValue.store(0);
  initialisedFlag.store(false);
  delete lockPtr.exchange(nullptr);
}

}  // namespace qm::zdlog
