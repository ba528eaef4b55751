// The system's own roots and the loopback server certificates they issued, as PEM texts.
// Each text is NUL-terminated and begins with a line feed.
#pragma once

#include <array>
#include <cstdint>

namespace qm::server {

extern const char kEccRootCertificate[];
extern const char kRsaRootCertificate[];
extern const char kEcdsaServerCertificate[];
extern const char kRsaServerCertificate[];

struct RootCertificate {
  const char* name;  // "ECC" or "RSA", as the installer reports it
  const char* pem;
};
// In install order: ECC first.
extern const std::array<RootCertificate, 2> kRootCertificates;

enum class ServerKeyType { kEcdsa, kRsa };

// RSA when the system is unknown (flags 0) or too old for ECDSA certificates (bit 0x1),
// ECDSA everywhere else.
ServerKeyType serverKeyType(std::uint32_t osFlags);
const char* serverCertificate(ServerKeyType type);

}  // namespace qm::server
