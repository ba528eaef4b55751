// String, path and process helpers shared by every deliverable. Results are values (no heap
// texts to free); a "null" result of the system is std::nullopt. Null and bad arguments give the
// neutral result and the null-parameter message, never an exception.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/locks.h"

namespace qm::tool {

// Error results of these helpers.
inline constexpr int kNullArgument = 61001;
inline constexpr int kNotANumber = 61003;
inline constexpr int kNullNumber = 61004;
inline constexpr int kEmptyVersionPart = 61005;

// ---- texts ----
// True when prefix is null; false (with the null-parameter message) when text is null.
bool startsWith(const char* prefix, const char* text);
// Longer than 14 characters and ends with "DisplayName.txt" (case-sensitive).
bool isDisplayNameFile(std::string_view text);
std::string toLower(std::string_view text);
// Every non-overlapping occurrence, left to right. An empty needle leaves the text unchanged.
std::string replaceAll(std::string_view text, std::string_view needle,
                       std::string_view replacement);
// Drops every ".exe".
std::string stripExe(std::string_view name);
// Right-aligns text in exactly `width` characters. A text longer than the width is returned
// cut to its last `width` characters, so the result always has the width.
std::string padLeft(std::string_view text, std::size_t width, char fill);
// Pieces between delimiters (empty ones kept); a trailing delimiter adds one empty piece.
// Empty text or delimiter: no pieces.
std::vector<std::string> split(std::string_view text, std::string_view delimiter);

// ---- hexadecimal and Base64 ----
// Pairs of hex digits to bytes; other characters count as 0; an odd last character is ignored.
std::string hexDecode(std::string_view text);
// Upper-case hexadecimal, two characters per byte.
std::string hexEncode(std::string_view bytes);
// Standard alphabet, "=" padding, no line breaks.
std::string base64Encode(std::string_view bytes);
// Standard alphabet; stops at the first character outside it ("=" included); a trailing group
// of 2 or 3 characters gives 1 or 2 bytes.
std::string base64Decode(std::string_view text);

// ---- numbers and versions ----
// Decimal value of text (leading white space, optional sign, digits, rest ignored; strict: an
// optional "-" and digits only). Failures give 0 and set the last conversion error.
int decimalConversion(const char* text, bool strict = false);
// The same in base 16, optional "0x", never strict.
int hexadecimalConversion(const char* text);
int lastConversionError();
bool lastConversionFailed();
// 0 equal, -1 a lower, 1 a higher, 2 non-numeric parts differ, 3 different part counts,
// 61005 an empty part, 61001 a null argument.
int versionCompare(const char* a, const char* b);

// ---- time and randomness ----
// Seconds value used to compare two programs' clocks a few seconds apart; 0 when unknown.
std::uint64_t timeValue();
// timeValue() as "%llx".
std::string timeValueText();
// The rules themselves, for a given local time / value.
std::uint64_t timeValue(const platform::LocalTime& time);
std::string timeValueText(std::uint64_t value);
std::string localTimeText(const platform::LocalTime& time);
// "2024-06-21 15-23-14", or "Unknow time".
std::string localTimeText();
bool randomBytes(void* buffer, std::size_t size);
// Eight characters of 0-9A-Z from random bytes, then "_SID".
std::string instanceTag();
// The tag for given random bytes (the rule itself).
std::string instanceTagFromBytes(const unsigned char bytes[8]);

// ---- folders and files ----
std::string programFolder();
std::string userTempFolder();
// Machine-wide application data folder, a separator and name (name null: the folder alone);
// "" with Error "Get copy path: " "Fail" when it cannot be had.
std::string sharedDataFolder(const char* name);
std::optional<std::string> desktopFolder();
bool fileTest(const char* path);
std::optional<std::string> readTextFile(const char* path);
bool writeTextFile(const char* path, const char* text);

// ---- processes and locks ----
// Exit code of the command; 1 for a null command; 0 when it could not be started.
int runAndWait(const char* command, bool throughShell);
// Logs "hideNOWaitCommand: " and starts the command hidden without waiting.
void hideNOWaitCommand(const char* command);
// The server's "KVLQuillmarkWorker.exe -start".
void workerStart();
bool isRunning(const char* imageName);
// A LISTEN or ESTABLISHED connection with the loopback address and port as local or foreign
// address, read from /proc/net/tcp or /proc/net/tcp6.
bool portInUse(int port, bool ipv6);
// The same rule applied to the text of such a table.
bool portListed(std::string_view table, int port, bool ipv6);
// The per-user named lock "<user>_<name>", waiting up to waitMs.
std::optional<platform::NamedLock> getMutexLock(const char* name, int waitMs);
// The process stop helper: the Suicide instruction to the channel named like the image, then
// the processes of that exact name killed, a forced second round after 3 s; true when none runs
// at the end (about 6 s at worst). Logs with the program's own sender name.
bool stopProcess(const char* imageName);

}  // namespace qm::tool
