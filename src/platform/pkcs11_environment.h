// Where the crypto component finds its PKCS#11 modules and the demo software token. The
// environment variables involved are read here and nowhere else.
#pragma once

#include <optional>
#include <string>

namespace qm::platform {

// $QUILLMARK_PKCS11_MODULE: one module to load instead of every module registered with p11-kit
// (tests point it at the software token). nullopt when unset or empty.
std::optional<std::string> pkcs11ModuleOverride();

// The user's data folder: $XDG_DATA_HOME, else $HOME/.local/share. No trailing separator.
std::string userDataFolder();

// Configuration of the demo software token made by scripts/make-demo-token.sh:
// <user data folder>/quillmark/softhsm/softhsm2.conf.
std::string demoTokenConfiguration();

// When $SOFTHSM2_CONF is unset (or empty) and the demo token's configuration exists, points
// $SOFTHSM2_CONF at it, so the software token module finds the demo token. Call before any module
// loads.
void useDemoTokenWhenUnconfigured();

}  // namespace qm::platform
