#include "util/certificates.h"

namespace qm::server {

#include "util/certificates_data.inc"

const std::array<RootCertificate, 2> kRootCertificates = {{
    {"ECC", kEccRootCertificate},
    {"RSA", kRsaRootCertificate},
}};

ServerKeyType serverKeyType(std::uint32_t osFlags) {
  return osFlags == 0 || (osFlags & 0x1) != 0 ? ServerKeyType::kRsa : ServerKeyType::kEcdsa;
}

const char* serverCertificate(ServerKeyType type) {
  return type == ServerKeyType::kRsa ? kRsaServerCertificate : kEcdsaServerCertificate;
}

}  // namespace qm::server
