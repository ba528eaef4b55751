// File tests and whole-file reads and writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qm::platform {

// True for an existing entry that is not a folder (the archive-attribute rule: folders and
// missing paths are false). A path that cannot be examined at all (no search permission on a
// folder, a loop of links) counts as missing too: a failed test never reports a file.
bool fileTest(const std::string& path);

// True when the path names an existing folder.
bool folderExists(const std::string& path);

// Size in bytes of an existing regular file.
std::optional<std::uint64_t> fileSize(const std::string& path);

// Whole file as text; nullopt when it cannot be opened.
std::optional<std::string> readTextFile(const std::string& path);

// Creates or truncates the file and writes the text; false on any failure.
bool writeTextFile(const std::string& path, const std::string& text);

// Appends the bytes to the file (created when missing); false when it cannot be opened/written.
bool appendToFile(const std::string& path, std::string_view bytes);

}  // namespace qm::platform
