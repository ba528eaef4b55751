#include "platform/system_info.h"

#include <sys/utsname.h>

namespace qm::platform {

std::optional<SystemInfo> systemInfo() {
  utsname u{};
  if (uname(&u) != 0) return std::nullopt;
  return SystemInfo{u.sysname, u.release, u.machine};
}

}  // namespace qm::platform
