#include "platform/self_delete.h"

#include <filesystem>
#include <system_error>

#include "platform/process.h"

namespace qm::platform {

std::string selfDeleteCommand(const std::string& path, int delaySeconds) {
  std::string quoted = "'";
  for (char c : path) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += "'";
  return "sleep " + std::to_string(delaySeconds) + "; rm -f -- " + quoted;
}

bool scheduleSelfDelete(int delaySeconds) {
  std::error_code error;
  std::string path = std::filesystem::read_symlink("/proc/self/exe", error).string();
  // Already gone (" (deleted)"), or unknown: nothing to remove.
  if (error || path.empty() || path.ends_with(" (deleted)")) return false;
  return startDetached(selfDeleteCommand(path, delaySeconds), true) == 0;
}

}  // namespace qm::platform
