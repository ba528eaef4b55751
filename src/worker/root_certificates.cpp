// "-importRootCACert": the system's two roots into the machine's trusted stores, ECC first.
#include <gnutls/gnutls.h>

#include "platform/root_store.h"
#include "util/certificates.h"
#include "util/diag.h"
#include "worker/worker.h"

namespace qm::worker {

namespace {

constexpr unsigned kLargestCertificate = 0x7FFFFFFF;

// Owns a buffer GnuTLS allocated.
struct Datum {
  gnutls_datum_t value{nullptr, 0};
  ~Datum() { gnutls_free(value.data); }
};

// 1 when the root is in every store afterwards; failures are logged.
int importRootCertificate(const char* name, const char* pem) {
  // The PEM constant decoded and written again: the stores get one canonical form.
  gnutls_datum_t text{reinterpret_cast<unsigned char*>(const_cast<char*>(pem)),
                      static_cast<unsigned>(std::string_view(pem).size())};
  Datum der;
  int rc = gnutls_pem_base64_decode2("CERTIFICATE", &text, &der.value);
  if (rc < 0) {
    diag::error("Parse root CA failed: ", rc);
    return 0;
  }
  if (der.value.size == 0 || der.value.size >= kLargestCertificate) {
    QM_ALLOCATION_FAILURE();
    return 0;
  }
  Datum canonical;
  rc = gnutls_pem_base64_encode2("CERTIFICATE", &der.value, &canonical.value);
  if (rc < 0) {
    diag::error("Parse root CA failed: ", rc);
    return 0;
  }
  std::string_view body(reinterpret_cast<const char*>(canonical.value.data), canonical.value.size);
  while (!body.empty() && body.back() == '\0') body.remove_suffix(1);

  std::vector<platform::RootStoreFailure> failures = platform::installRootCertificate(name, body);
  for (const platform::RootStoreFailure& failure : failures) {
    if (failure.step == platform::RootStoreFailure::Step::kOpen) {
      diag::error("The CA system store did not open: ", failure.code);
    } else {
      diag::error("Import root CA failed: ", failure.code);
    }
    diag::normal("Root CA store: ", failure.store);
  }
  return failures.empty() ? 1 : 0;
}

}  // namespace

void importRootCertificates() {
  for (const server::RootCertificate& root : server::kRootCertificates) {
    if (importRootCertificate(root.name, root.pem) == 0) {
      diag::error("Import root CA failed ", root.name);
    }
  }
}

}  // namespace qm::worker
