// What one run of the worker keeps between its steps.
#pragma once

#include <optional>
#include <string>

#include "platform/locks.h"
#include "util/debug_mode.h"
#include "worker/worker.h"

namespace qm::worker {

struct RunState {
  std::string programFolder;
  std::string instanceName;  // "QuillmarkWorker-" and the instance tag
  bool loggingUp = false;
  bool selfDelete = false;
  // Set when the run must end at once with this code (no self-delete).
  std::optional<int> exitCode;
  std::optional<platform::NamedLock> workerLock;
  debug_mode::Listener debugListener;  // the watchdog's logging switch
};

}  // namespace qm::worker
