// An X.509 certificate handed over by a page (Base64 DER or PEM) and what can be read from it.
#pragma once

#include <gnutls/x509.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "component/common.h"

namespace qm::component {

class Certificate {
 public:
  // kErrMissingParameter (empty), kErrTooLarge, kErrNotBase64, kErrNotCertificate.
  static Result<Certificate> fromText(std::string_view text);
  static Result<Certificate> fromDer(std::string_view der);

  Certificate() = default;
  Certificate(Certificate&& other) noexcept;
  Certificate& operator=(Certificate&& other) noexcept;
  Certificate(const Certificate&) = delete;
  Certificate& operator=(const Certificate&) = delete;
  ~Certificate();

  gnutls_x509_crt_t get() const { return crt_; }
  const std::string& der() const { return der_; }
  std::string base64() const { return base64Encode(der_); }

  std::string serialHex() const;
  // RFC 4514 distinguished names.
  std::string subject() const;
  std::string issuer() const;
  // First value of a subject attribute by OID ("" when absent).
  std::string subjectAttribute(const char* oid) const;
  std::string issuerAttribute(const char* oid) const;
  std::string rawIssuer() const;     // DER of the issuer Name
  std::string rawSerial() const;     // INTEGER content octets
  std::string publicKeyDer() const;  // SubjectPublicKeyInfo
  gnutls_pk_algorithm_t keyAlgorithm() const;
  std::int64_t notBefore() const;
  std::int64_t notAfter() const;
  int version() const;
  // Signature algorithm: GnuTLS name ("RSA-SHA256") and OID.
  std::string signatureAlgorithmName() const;
  std::string signatureAlgorithmOid() const;
  std::vector<std::string> policyOids() const;
  // Key usage bits as GNUTLS_KEY_*; nullopt-like -1 when the extension is absent.
  int keyUsage() const;
  bool isCa() const;

  struct Extension {
    std::string oid;
    bool critical = false;
    std::string value;  // DER
  };
  std::vector<Extension> extensions() const;

  // Subject directory attributes: (OID, values as text) in certificate order.
  struct Attribute {
    std::string oid;
    std::vector<std::string> values;
  };
  Result<std::vector<Attribute>> subjectDirectoryAttributes() const;

 private:
  gnutls_x509_crt_t crt_ = nullptr;
  std::string der_;
};

// Date texts of this component: "YYYY-MM-DD HH:MM:SS" in UTC.
std::string utcText(std::int64_t seconds);

}  // namespace qm::component
