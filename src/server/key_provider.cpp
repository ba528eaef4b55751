#include "server/key_provider.h"

#include <new>

#include "util/certificates.h"

namespace qm::server {

namespace {
#include "server/key_data.inc"
}  // namespace

std::optional<SecretText> provideServerKey(std::uint32_t osFlags) {
  try {
    if (serverKeyType(osFlags) == ServerKeyType::kRsa) {
      return unsealText(kRsaKeySealed, kRsaKeyNonce);
    }
    return unsealText(kEcdsaKeySealed, kEcdsaKeyNonce);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace qm::server
