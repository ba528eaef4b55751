// The machine's trusted root certificates, where this platform's clients look for them: the
// system store (one .crt file per root, then the bundle rebuilt; curl, GnuTLS and most other
// clients read it) and the users' NSS databases (Chromium's shared one and each Firefox
// profile's). Every location can be moved for tests:
//   QUILLMARK_CA_STORE_DIR       system store folder (/usr/local/share/ca-certificates)
//   QUILLMARK_CA_UPDATE_COMMAND  bundle rebuild (/usr/sbin/update-ca-certificates for the
//                                real folder, nothing for a moved one; "none" skips it)
//   QUILLMARK_NSSDB_DIR          the shared NSS database (~/.pki/nssdb when it exists, else
//                                ~/.local/share/pki/nssdb, created when missing)
//   HOME                         where the Firefox profiles are found (profiles.ini)
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qm::platform {

struct RootStoreFailure {
  enum class Step { kOpen, kAdd };
  Step step = Step::kOpen;
  int code = 0;       // errno, or the exit status of the store's tool
  std::string store;  // which store
};

// Installs one root certificate (PEM text) under `name` ("ECC", "RSA") in every store. A store
// already holding the identical root is left unchanged. Empty result: the root is in every
// store now.
std::vector<RootStoreFailure> installRootCertificate(std::string_view name, std::string_view pem);

}  // namespace qm::platform
