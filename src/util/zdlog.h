// The log writer: appends formatted lines to a shared daily log file, configured from an ini
// file. Every line is written under the machine-wide lock "Global\ZDLog" and the file is opened,
// appended to and closed for each line, so several processes can share one file.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

namespace qm::platform {
class MachineLock;
}

namespace qm::zdlog {

// Results of the ini value reader (and of initialise, for "Log Level").
inline constexpr int kIniOk = 0;
inline constexpr int kIniNoFile = 101;
inline constexpr int kIniNoSection = 102;
inline constexpr int kIniNoKey = 103;
inline constexpr int kIniValueTooLong = 104;
// initialise on an already initialised writer.
inline constexpr int kAlreadyInitialised = -1;
// writeLine above the configured level.
inline constexpr int kLevelFiltered = -2;

inline constexpr char kIniSection[] = "KVLQuillmark";
inline constexpr char kLockName[] = "Global\\ZDLog";

// Reads `key` of section [KVLQuillmark] into `value`, which holds at most bufferSize - 1
// characters. Returns kIniOk or 101..104.
int readIniValue(std::string_view key, std::string& value, std::size_t bufferSize,
                 const std::string& iniPath);

// Configures the writer from the ini file. A bare file name (no separator) is looked for in
// /etc, then $HOME, then /tmp. Returns 0 when "Log Level" was read, -1 when already initialised,
// else the reader's code for "Log Level" (the writer then stays silent).
int initialise(const char* iniPath);

// Writes one line at `level` (printf rules). 0 when written or attempted, -2 when the level is
// above the configured level or the writer is not configured.
int writeLine(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The core of writeLine without level test and lock, for callers that already hold an argument
// list: they read configuredLevel(), hold lock() (when not null) and call this.
void writeLineV(int level, const char* format, va_list args) __attribute__((format(printf, 2, 0)));

int configuredLevel();
bool initialised();
// The machine-wide lock; null when it could not be opened (lines are then written without it).
platform::MachineLock* lock();

// Back to unconfigured (logging switched off at run time); a later initialise reads the ini
// again.
void reset();

// Unconfigures the writer and closes the machine-wide lock for good. Only for a library copy
// that is about to be unloaded (the lock is otherwise kept for the life of the process): its
// descriptor and memory would outlive the copy.
void closeForUnload();

// Tag written for a level: "" for 0 (and below), "[FATAL]" .. "[DEBUG]" for 1..5, "[TRACE]"
// above.
const char* levelTag(int level);

// Daily file name for a log file name, a date and a rotation index: "x.log" -> "x_20240621.log",
// "x_20240621_2.log" once rotated; a name without "." in its last component gets the date (and
// the index) appended. Cut to 127 characters.
std::string dailyFileName(std::string_view logFile, int year, int month, int day,
                          int rotationIndex);

}  // namespace qm::zdlog
