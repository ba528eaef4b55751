// Enveloped XML signatures on a template: the page's XML holds a ds:Signature whose SignedInfo
// names the methods and references; the digests are computed with libxml2's canonicalisation and
// GnuTLS, and SignedInfo is signed with a token key.
#pragma once

#include <gnutls/gnutls.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "component/common.h"

namespace qm::component {

struct XmlSigner {
  gnutls_pk_algorithm_t algorithm = GNUTLS_PK_UNKNOWN;
  unsigned bits = 0;
  std::string certificateBase64;  // placed into an empty KeyInfo / X509Data
  // Signs the canonical SignedInfo (GnuTLS form: PKCS#1 v1.5, or DER for ECDSA).
  std::function<Result<std::string>(std::string_view data, gnutls_digest_algorithm_t digest)> sign;
};

struct XmlJob {
  std::string_view xml;
  bool fromFile = false;      // bytes of a file: encoding from its declaration
  bool keepEncoding = false;  // serialise in the document's encoding (for files), else UTF-8
  std::string_view signId;    // Id of the ds:Signature to fill; empty: the first one
  bool computeDigests = true;
  const XmlSigner* signer = nullptr;       // null: digests only
  std::vector<std::string> referenceDirs;  // where plain file-name references are looked up
};

// The processed document, serialised.
Result<std::string> xmlSignTemplate(const XmlJob& job);

// Reads a whole regular file of at most kMaxDataBytes; writes a new file (never replaces one).
Result<std::string> readFileBytes(const std::string& path);
ErrorCode writeNewFile(const std::string& path, std::string_view bytes);

}  // namespace qm::component
