#include "worker/worker.h"

#include "platform/clock.h"
#include "platform/self_delete.h"
#include "util/build_info.h"
#include "util/diag.h"
#include "util/ipc_message.h"
#include "util/tool.h"
#include "worker/run_state.h"

namespace qm::worker {

namespace {

constexpr int kLockWaitMs = 200;
constexpr int kLockRetryMs = 500;
constexpr int kLockRetries = 10;
constexpr int kAfterWatchdogStopMs = 500;
constexpr int kSelfDeleteDelaySeconds = 2;

struct CommandWord {
  const char* word;
  Command command;
  bool prefix;
};

constexpr CommandWord kWords[] = {
    {"-start", Command::kStart, false},
    {"-stop", Command::kStop, false},
    {"-restart", Command::kRestart, false},
    {"-allstop", Command::kAllStop, false},
    {"-reset", Command::kReset, false},
    {"-monitorstart", Command::kMonitorStart, false},
    {"-watchdog", Command::kWatchdog, false},
    {"-importRootCACert", Command::kImportRootCACert, false},
    {"-uninstalldetect", Command::kUninstallDetect, true},
    {"-delete", Command::kDelete, true},
    {"-KeyToByte", Command::kKeyToByte, true},
};

bool equalsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && tool::toLower(a) == tool::toLower(b);
}

// The monitor runs: instruct it; it does not: start it (it starts the server itself).
void startOrInstruct(const char* instruction) {
  if (tool::isRunning(kMonitorImage)) {
    ipc::sendMessage(ipc::kMonitorWindowChannel, instruction);
  } else {
    tool::hideNOWaitCommand(kMonitorImage);
  }
}

void stopAll() {
  diag::normal("Stop area", "");
  // The watchdog goes first, so that stopping the monitor does not make it reset the set.
  ipc::sendMessage(ipc::kWatchdogChannel, ipc::kSuicide);
  platform::sleepMs(kAfterWatchdogStopMs);
  tool::stopProcess(kMonitorImage);
  tool::stopProcess(kServerImage);
}

bool takeWorkerLock(RunState& run) {
  for (int attempt = 0; attempt <= kLockRetries; ++attempt) {
    if (attempt > 0) platform::sleepMs(kLockRetryMs);
    run.workerLock = tool::getMutexLock(kWorkerLock, kLockWaitMs);
    if (run.workerLock) return true;
  }
  diag::normal("Get mutex lock time out", "");
  return false;
}

void dispatch(RunState& run, Command command, const std::string& text) {
  switch (command) {
    case Command::kStart:
      startOrInstruct(ipc::kStart);
      break;
    case Command::kStop:
      ipc::sendMessage(ipc::kMonitorWindowChannel, ipc::kStop);
      break;
    case Command::kRestart:
      startOrInstruct(ipc::kRestart);
      break;
    case Command::kAllStop:
      stopAll();
      break;
    case Command::kReset:
      stopAll();
      tool::hideNOWaitCommand(kMonitorImage);
      diag::normal("Reset complete", "");
      tool::hideNOWaitCommand("KVLQuillmarkWorker.exe -watchdog");
      break;
    case Command::kMonitorStart:
      // Serialised with the other control words; starts a monitor only where none runs.
      if (tool::isRunning(kMonitorImage)) {
        diag::normal("Monitor start: ", "Already running");
      } else {
        tool::hideNOWaitCommand(kMonitorImage);
      }
      break;
    case Command::kWatchdog:
      runWatchdog(run);
      break;
    case Command::kImportRootCACert:
      importRootCertificates();
      break;
    case Command::kUninstallDetect:
      runUninstallDetect(run, text);
      break;
    case Command::kDelete:
      runDelete(run, text);
      break;
    case Command::kKeyToByte:
      runKeyToByte(text);
      break;
    case Command::kNone:
      break;
  }
}

}  // namespace

Command classifyCommand(std::string_view text) {
  for (const CommandWord& entry : kWords) {
    if (entry.prefix ? text.starts_with(entry.word) : equalsNoCase(text, entry.word)) {
      return entry.command;
    }
  }
  return Command::kNone;
}

bool takesWorkerLock(Command command) {
  switch (command) {
    case Command::kStart:
    case Command::kStop:
    case Command::kRestart:
    case Command::kAllStop:
    case Command::kReset:
    case Command::kMonitorStart:
      return true;
    default:
      return false;
  }
}

int runWorker(const std::string& commandText) {
  RunState run;
  run.programFolder = tool::programFolder();
  run.instanceName = "QuillmarkWorker-" + tool::instanceTag();
  ipc::setSenderName(kSenderName);
  run.loggingUp = diag::setLog(kProgramName);
  diag::normal("Compile time: ", std::string(build::date()) + " " + build::time());
  diag::normal("Command: ", commandText);

  Command command = classifyCommand(commandText);
  if (!takesWorkerLock(command) || takeWorkerLock(run)) dispatch(run, command, commandText);
  if (run.exitCode) return *run.exitCode;

  if (run.workerLock) run.workerLock->release();
  if (run.selfDelete) platform::scheduleSelfDelete(kSelfDeleteDelaySeconds);
  run.debugListener.stop();
  return 0;
}

}  // namespace qm::worker
