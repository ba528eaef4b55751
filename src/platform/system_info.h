// What the running system says about itself.
#pragma once

#include <optional>
#include <string>

namespace qm::platform {

struct SystemInfo {
  std::string name;     // "Linux"
  std::string release;  // kernel release
  std::string machine;  // hardware name, e.g. "x86_64", "aarch64", "i686"
};

// nullopt when the system cannot be asked.
std::optional<SystemInfo> systemInfo();

}  // namespace qm::platform
