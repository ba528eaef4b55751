// Diagnostics front: Normal / Warning / Error lines made of a label and a value, prefixed with
// the program's name and written through the log writer at its debug level. While the
// diagnostics flag is off a line costs one flag test.
#pragma once

#include <atomic>
#include <string_view>

namespace qm::diag {

namespace detail {
extern std::atomic<bool> enabledFlag;
void line(const char* tag, std::string_view label, std::string_view value);
void line(const char* tag, std::string_view label, long long value);
void line(const char* tag, std::string_view label, std::u16string_view value);
}  // namespace detail

// The log settings file of every deliverable ("%s.ini" filled with "KVLQuillmark").
inline constexpr char kLogSettingsFile[] = "KVLQuillmark.ini";

// Sets up logging once per process from "KVLQuillmark.ini"; returns the diagnostics flag.
// A null prefix gives false.
bool setLog(const char* prefix);

inline bool enabled() {
  return detail::enabledFlag.load(std::memory_order_relaxed);
}

// Switches the front off (the debug-mode toggle); the caller resets the writer.
void disable();

inline void normal(std::string_view label, std::string_view text) {
  if (enabled()) detail::line("[Normal]", label, text);
}
inline void normal(std::string_view label, long long value) {
  if (enabled()) detail::line("[Normal]", label, value);
}
inline void warning(std::string_view label, std::string_view text) {
  if (enabled()) detail::line("[Warning]", label, text);
}
inline void warning(std::string_view label, long long value) {
  if (enabled()) detail::line("[Warning]", label, value);
}
inline void error(std::string_view label, std::string_view text) {
  if (enabled()) detail::line("[Error]", label, text);
}
inline void error(std::string_view label, long long value) {
  if (enabled()) detail::line("[Error]", label, value);
}
// Wide (UTF-16) text, written as UTF-8; empty when it is not valid UTF-16.
inline void normal(std::string_view label, std::u16string_view text) {
  if (enabled()) detail::line("[Normal]", label, text);
}
inline void normal(std::string_view label, const char16_t* text) {
  normal(label, text ? std::u16string_view(text) : std::u16string_view());
}
// Keep literal texts away from the integer overloads.
inline void normal(std::string_view label, const char* text) {
  normal(label, std::string_view(text ? text : ""));
}
inline void warning(std::string_view label, const char* text) {
  warning(label, std::string_view(text ? text : ""));
}
inline void error(std::string_view label, const char* text) {
  error(label, std::string_view(text ? text : ""));
}

// Warning "" "Parameter %s is null at %s %d".
void nullParameter(const char* name, const char* file, int line);

// Error "Memory allocate fail at file: " file, then Error "Memory allocate fail at line: " line.
void allocationFailure(const char* file, int line);

}  // namespace qm::diag

#define QM_NULL_PARAMETER(name) ::qm::diag::nullParameter((name), __FILE_NAME__, __LINE__)
#define QM_ALLOCATION_FAILURE() ::qm::diag::allocationFailure(__FILE_NAME__, __LINE__)
