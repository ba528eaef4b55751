// Signatures and cipher texts: CMS SignedData and raw signatures made with a token key, CMS
// EnvelopedData (RSA key transport, AES-256-CBC) and raw RSA PKCS#1 v1.5 encryption.
#pragma once

#include <gnutls/abstract.h>

#include <string>
#include <string_view>

#include "component/certificate.h"
#include "component/common.h"

namespace qm::component {

struct SignOptions {
  gnutls_digest_algorithm_t digest = GNUTLS_DIG_SHA256;
  bool detached = false;
  bool includeCertificate = true;
  bool includeTime = true;
};

// DER of a CMS SignedData over `data`.
Result<std::string> cmsSign(gnutls_privkey_t key, const Certificate& signer, std::string_view data,
                            const SignOptions& options);
// Raw signature: PKCS#1 v1.5 for RSA keys, DER (r, s) for ECDSA.
Result<std::string> rawSign(gnutls_privkey_t key, std::string_view data,
                            gnutls_digest_algorithm_t digest);

// Signature algorithm of signer `index` of a Base64 CMS SignedData: GnuTLS name and OID.
struct SignatureAlgorithm {
  std::string name;
  std::string oid;
};
Result<SignatureAlgorithm> cmsSignatureAlgorithm(std::string_view base64, unsigned index);

// DER of a CMS EnvelopedData for the certificate's RSA key.
Result<std::string> cmsEnvelope(const Certificate& recipient, std::string_view data);
// The recipients of an EnvelopedData (issuer DER, serial octets) and its opening.
struct EnvelopeRecipient {
  std::string issuer;
  std::string serial;
  std::string encryptedKey;
};
struct Envelope {
  std::vector<EnvelopeRecipient> recipients;
  std::string cipherOid;
  std::string iv;
  std::string encryptedContent;
};
Result<Envelope> cmsParseEnvelope(std::string_view der);
Result<Secret> cmsOpen(const Envelope& envelope, const EnvelopeRecipient& recipient,
                       gnutls_privkey_t key);

Result<std::string> rsaEncrypt(const Certificate& recipient, std::string_view data);
Result<Secret> rsaDecrypt(gnutls_privkey_t key, std::string_view cipher);

}  // namespace qm::component
