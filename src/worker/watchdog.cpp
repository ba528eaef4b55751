// The watchdog: lives while the monitor holds its single-instance lock and resets the set when
// that lock becomes free without a requested stop.
#include <atomic>

#include "platform/clock.h"
#include "util/diag.h"
#include "util/ipc_message.h"
#include "util/tool.h"
#include "worker/run_state.h"

namespace qm::worker {

namespace {

constexpr int kWatchdogLockWaitMs = 500;
constexpr int kMonitorPollMs = 1000;

// Session loss only marks this; the watchdog goes on watching.
std::atomic<bool> sessionInactive{false};

}  // namespace

void runWatchdog(RunState& run) {
  if (!run.debugListener.start(kProgramName, run.loggingUp)) {
    diag::error("debugStatusUpdateEvent init failed.", "");
  }

  std::optional<platform::NamedLock> watchdogLock =
      tool::getMutexLock(kWatchdogLock, kWatchdogLockWaitMs);
  if (!watchdogLock) {
    diag::normal("getMutexLock: ", "Fail");
    return;
  }
  diag::normal("getMutexLock: ", "Success");

  // No actions: Suicide ends this process with 0; start, stop and restart are only logged.
  ipc::receiverSettings().sessionInactive.store(&sessionInactive);
  ipc::startReceiver(ipc::kWatchdogChannel);

  for (;;) {
    // Free only when no monitor holds it.
    if (std::optional<platform::NamedLock> monitor = tool::getMutexLock(kMonitorLock, 0)) {
      monitor->release();
      diag::normal("Monitor is NOT alive", "");
      diag::normal("Reset!", "");
      tool::hideNOWaitCommand("KVLQuillmarkWorker.exe -reset");
      watchdogLock->release();
      return;
    }
    platform::sleepMs(kMonitorPollMs);
  }
}

}  // namespace qm::worker
