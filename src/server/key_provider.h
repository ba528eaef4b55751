// The private key of the loopback server certificate. The program holds it only sealed
// (server/key_seal.h) and rebuilds a plain copy for the moment the listeners load it.
#pragma once

#include <cstdint>
#include <optional>

#include "server/key_seal.h"

namespace qm::server {

// A fresh NUL-terminated PEM copy of the private key of the certificate that
// serverKeyType(osFlags) chooses; null when it cannot be rebuilt. Release it with wipe() as soon
// as the listeners have loaded it (destruction wipes as well).
std::optional<SecretText> provideServerKey(std::uint32_t osFlags);

}  // namespace qm::server
