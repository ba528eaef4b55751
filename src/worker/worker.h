// KVLQuillmarkWorker: one command word per run. It starts, stops, restarts and resets the program
// set, stands as the watchdog of the monitor, detects an uninstall, removes an installation
// folder, installs the system's root certificates and turns key files into byte arrays.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::worker {

inline constexpr char kProgramName[] = "KVLQuillmarkWorker";
inline constexpr char kSenderName[] = "QuillmarkWorker";
inline constexpr char kMonitorImage[] = "KVLQuillmarkMonitor.exe";
inline constexpr char kServerImage[] = "KVLQuillmark.exe";
inline constexpr char kWorkerLock[] = "QuillmarkWorker";
inline constexpr char kWatchdogLock[] = "KVLQuillmarkWatchdog";
inline constexpr char kMonitorLock[] = "KVLQuillmarkMonitor.exe";
// Exit code of "-uninstalldetect" with the wrong arguments (a parent sees its low 8 bits).
inline constexpr int kParameterError = 61005;

enum class Command {
  kNone,
  kStart,
  kStop,
  kRestart,
  kAllStop,
  kReset,
  kMonitorStart,
  kWatchdog,
  kImportRootCACert,
  kUninstallDetect,
  kDelete,
  kKeyToByte,
};

// Whole words match the entire text without regard to case; prefix words must begin it exactly.
Command classifyCommand(std::string_view text);
// The six control words run under the worker lock.
bool takesWorkerLock(Command command);

// Uninstall detection: the text after the word split at spaces, fragments without ".exe" joined
// to the ones that follow, up to and including the next one with ".exe" (or the last).
std::vector<std::string> uninstallArguments(std::string_view text, std::size_t* fragments);

// Breadth-first listing of the files under `folder` whose names match the pattern ('*' only),
// the pattern applying to folders as well. nullopt (logged) when a search fails or finds nothing.
std::optional<std::vector<std::string>> listFiles(const std::string& folder,
                                                  std::string_view pattern);
bool patternMatches(std::string_view pattern, std::string_view name);

// "byte RSAKey[] = { 0x41, 0x42};" (ECKey unless the name contains "_RSA.").
std::string keyToByteText(std::string_view fileName, std::string_view content);

// Runs the command text (the arguments joined by single spaces); the program's exit code.
int runWorker(const std::string& commandText);

// ---- parts of the run (worker.cpp calls them) ----
struct RunState;
void runWatchdog(RunState& run);
void runUninstallDetect(RunState& run, const std::string& commandText);
void runDelete(RunState& run, const std::string& commandText);
void runKeyToByte(const std::string& commandText);
void importRootCertificates();

}  // namespace qm::worker
