#include "platform/pkcs11_environment.h"

#include <stdlib.h>

#include <filesystem>

namespace qm::platform {

namespace {

std::optional<std::string> variable(const char* name) {
  const char* value = getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

}  // namespace

std::optional<std::string> pkcs11ModuleOverride() {
  return variable("QUILLMARK_PKCS11_MODULE");
}

std::string userDataFolder() {
  if (auto data = variable("XDG_DATA_HOME")) return *data;
  return variable("HOME").value_or("") + "/.local/share";
}

std::string demoTokenConfiguration() {
  return userDataFolder() + "/quillmark/softhsm/softhsm2.conf";
}

void useDemoTokenWhenUnconfigured() {
  if (variable("SOFTHSM2_CONF")) return;
  std::string configuration = demoTokenConfiguration();
  std::error_code ignored;
  if (std::filesystem::is_regular_file(configuration, ignored)) {
    setenv("SOFTHSM2_CONF", configuration.c_str(), 1);  // unset or empty
  }
}

}  // namespace qm::platform
