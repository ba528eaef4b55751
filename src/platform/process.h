// Processes: start hidden (with or without waiting, through the shell or not), find by image
// name, kill. Image names may carry ".exe"; it is dropped here. A program named without a folder
// is looked up in the program folder first, then in PATH.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::platform {

// Splits a command line like Windows does: white space separates, double quotes group and are
// dropped; after the program name, "" inside quotes and backslashes before a quote follow the
// Windows C runtime rules (2n backslashes + quote: n backslashes, 2n+1: n and a literal quote).
std::vector<std::string> splitCommandLine(std::string_view commandLine);

// A program's own command line: its arguments (without argv[0]) joined by single spaces.
std::string joinArguments(int argc, const char* const* argv);

// Full path of a program named on a command line; "" when not found.
std::string resolveProgram(std::string_view name);

// Runs the command hidden (standard input from /dev/null, output and errors shared with this
// process, no other descriptor inherited) and waits for it. Through the shell: /bin/sh -c
// command, taken as it stands. Result: exit status (low 8 bits), 128 + signal when killed by a
// signal, 0 when the process could not be started.
int runAndWait(const std::string& command, bool throughShell);

// Starts the command hidden without waiting: standard input, output and errors on /dev/null,
// in a session of its own, adopted by init so it never becomes our zombie. Result: 0 once the
// program runs, else the errno value (ENOENT when it is not found).
int startDetached(const std::string& command, bool throughShell);

// Process ids whose executable (/proc/<pid>/exe base name) equals the image name without
// ".exe"; compared without regard to case unless `exactCase`. Processes of other users are
// seen only by root (their exe link is not readable otherwise), which keeps each user's program
// set to itself, the same set that killProcesses can reach.
std::vector<int> findProcesses(std::string_view imageName, bool exactCase = false);

bool isProcessRunning(std::string_view imageName);

// SIGKILL to every process of that image name (exact case) except this one; number signalled.
int killProcesses(std::string_view imageName);

std::uint32_t currentProcessId();
std::uint32_t currentThreadId();

// Ends the process at once with the code (no destructors, like ExitProcess).
[[noreturn]] void exitProcess(int code);

}  // namespace qm::platform
