// The process stop helper: it asks first (the Suicide instruction), then kills.
#include <string>

#include "platform/clock.h"
#include "platform/process.h"
#include "util/diag.h"
#include "util/ipc_message.h"
#include "util/tool.h"

namespace qm::tool {

namespace {

constexpr int kWaitMs = 3000;
constexpr int kPollMs = 100;

// Polls until the image is gone or the wait is over; true when it is gone.
bool waitGone(const char* imageName, const std::string& counterLabel) {
  const long long start = platform::monotonicMs();
  long long polls = 0;
  while (platform::monotonicMs() - start < kWaitMs) {
    if (!isRunning(imageName)) return true;
    if (!counterLabel.empty()) diag::normal(counterLabel, ++polls);
    platform::sleepMs(kPollMs);
  }
  return !isRunning(imageName);
}

}  // namespace

bool stopProcess(const char* imageName) {
  const std::string self = ipc::senderName();
  const std::string prefix = "[" + self + "] ";
  const std::string image = imageName != nullptr ? imageName : "";

  ipc::sendMessage(imageName, ipc::kSuicide);
  if (imageName == nullptr) {
    QM_NULL_PARAMETER("filename");
  } else {
    platform::killProcesses(imageName);
  }

  if (waitGone(imageName, {})) {
    diag::normal(prefix, self + " kill " + image + " success");
  } else {
    diag::normal(prefix, self + " kill " + image + " fail");
    diag::normal(prefix, "Start command kill mode");
    // "taskkill /F /im <image> /F" of the system is SIGKILL here.
    diag::normal("Command: ", "taskkill /F /im " + image + " /F");
    platform::killProcesses(image);
    waitGone(imageName, "[" + self + "] Wait for " + image + " shutdown: ");
  }

  bool gone = !isRunning(imageName);
  if (diag::enabled()) {
    std::string label = "[" + self + "] kill " + image + " shutdown state: ";
    if (gone) {
      diag::normal(label, "Success");
    } else {
      diag::error(label, "Fail");
    }
  }
  return gone;
}

}  // namespace qm::tool
