#include "component/certificate.h"

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>

#include <ctime>

#include "component/der.h"

namespace qm::component {

namespace {

std::string datumText(gnutls_datum_t& datum) {
  std::string text(reinterpret_cast<const char*>(datum.data), datum.size);
  gnutls_free(datum.data);
  datum.data = nullptr;
  return text;
}

// The text of a directory string or time value; other types as Base64 of their DER.
std::string attributeValueText(const der::Element& value) {
  switch (value.tag) {
    case 0x0C:  // UTF8String
    case 0x13:  // PrintableString
    case 0x16:  // IA5String
    case 0x14:  // TeletexString (Latin-1 in practice; ASCII is what matters)
    case 0x12:  // NumericString
    case 0x17:  // UTCTime
    case 0x18:  // GeneralizedTime
      return std::string(value.content);
    default:
      return base64Encode(value.whole);
  }
}

}  // namespace

Certificate::Certificate(Certificate&& other) noexcept
    : crt_(other.crt_), der_(std::move(other.der_)) {
  other.crt_ = nullptr;
}

Certificate& Certificate::operator=(Certificate&& other) noexcept {
  if (this != &other) {
    if (crt_ != nullptr) gnutls_x509_crt_deinit(crt_);
    crt_ = other.crt_;
    der_ = std::move(other.der_);
    other.crt_ = nullptr;
  }
  return *this;
}

Certificate::~Certificate() {
  if (crt_ != nullptr) gnutls_x509_crt_deinit(crt_);
}

Result<Certificate> Certificate::fromText(std::string_view text) {
  if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) return kErrMissingParameter;
  if (text.size() > kMaxCertificateBytes * 2) return kErrTooLarge;
  static constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
  static constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
  if (auto begin = text.find(kBegin); begin != std::string_view::npos) {
    auto end = text.find(kEnd, begin);
    if (end == std::string_view::npos) return kErrNotCertificate;
    text = text.substr(begin + kBegin.size(), end - begin - kBegin.size());
  }
  Result<std::string> der = base64Decode(text, kMaxCertificateBytes);
  if (!der.ok()) return der.error;
  return fromDer(der.value);
}

Result<Certificate> Certificate::fromDer(std::string_view der) {
  if (der.empty()) return kErrNotCertificate;
  if (der.size() > kMaxCertificateBytes) return kErrTooLarge;
  Certificate certificate;
  if (gnutls_x509_crt_init(&certificate.crt_) < 0) return kErrInternal;
  gnutls_datum_t datum{reinterpret_cast<unsigned char*>(const_cast<char*>(der.data())),
                       static_cast<unsigned>(der.size())};
  if (gnutls_x509_crt_import(certificate.crt_, &datum, GNUTLS_X509_FMT_DER) < 0) {
    return kErrNotCertificate;
  }
  // Trailing bytes after the certificate mean the text was not one certificate.
  gnutls_datum_t exported{};
  if (gnutls_x509_crt_export2(certificate.crt_, GNUTLS_X509_FMT_DER, &exported) < 0) {
    return kErrNotCertificate;
  }
  certificate.der_ = datumText(exported);
  if (certificate.der_ != der) return kErrNotCertificate;
  return certificate;
}

std::string Certificate::serialHex() const {
  return hexUpper(rawSerial());
}

std::string Certificate::rawSerial() const {
  unsigned char serial[128];
  std::size_t size = sizeof serial;
  if (gnutls_x509_crt_get_serial(crt_, serial, &size) < 0) return "";
  return std::string(reinterpret_cast<char*>(serial), size);
}

std::string Certificate::subject() const {
  gnutls_datum_t dn{};
  if (gnutls_x509_crt_get_dn3(crt_, &dn, 0) < 0) return "";
  return datumText(dn);
}

std::string Certificate::issuer() const {
  gnutls_datum_t dn{};
  if (gnutls_x509_crt_get_issuer_dn3(crt_, &dn, 0) < 0) return "";
  return datumText(dn);
}

std::string Certificate::subjectAttribute(const char* oid) const {
  char value[1024];
  std::size_t size = sizeof value;
  if (gnutls_x509_crt_get_dn_by_oid(crt_, oid, 0, 0, value, &size) < 0) return "";
  return std::string(value, size);
}

std::string Certificate::issuerAttribute(const char* oid) const {
  char value[1024];
  std::size_t size = sizeof value;
  if (gnutls_x509_crt_get_issuer_dn_by_oid(crt_, oid, 0, 0, value, &size) < 0) return "";
  return std::string(value, size);
}

std::string Certificate::rawIssuer() const {
  gnutls_datum_t dn{};
  if (gnutls_x509_crt_get_raw_issuer_dn(crt_, &dn) < 0) return "";
  return datumText(dn);
}

std::string Certificate::publicKeyDer() const {
  gnutls_pubkey_t key = nullptr;
  if (gnutls_pubkey_init(&key) < 0) return "";
  std::string out;
  gnutls_datum_t spki{};
  if (gnutls_pubkey_import_x509(key, crt_, 0) >= 0 &&
      gnutls_pubkey_export2(key, GNUTLS_X509_FMT_DER, &spki) >= 0) {
    out = datumText(spki);
  }
  gnutls_pubkey_deinit(key);
  return out;
}

gnutls_pk_algorithm_t Certificate::keyAlgorithm() const {
  int algorithm = gnutls_x509_crt_get_pk_algorithm(crt_, nullptr);
  return algorithm < 0 ? GNUTLS_PK_UNKNOWN : static_cast<gnutls_pk_algorithm_t>(algorithm);
}

std::int64_t Certificate::notBefore() const {
  return gnutls_x509_crt_get_activation_time(crt_);
}

std::int64_t Certificate::notAfter() const {
  return gnutls_x509_crt_get_expiration_time(crt_);
}

int Certificate::version() const {
  return gnutls_x509_crt_get_version(crt_);
}

std::string Certificate::signatureAlgorithmName() const {
  int algorithm = gnutls_x509_crt_get_signature_algorithm(crt_);
  const char* name = algorithm > 0
                         ? gnutls_sign_get_name(static_cast<gnutls_sign_algorithm_t>(algorithm))
                         : nullptr;
  return name != nullptr ? name : signatureAlgorithmOid();
}

std::string Certificate::signatureAlgorithmOid() const {
  char oid[128];
  std::size_t size = sizeof oid;
  if (gnutls_x509_crt_get_signature_oid(crt_, oid, &size) < 0) return "";
  return std::string(oid);
}

std::vector<std::string> Certificate::policyOids() const {
  std::vector<std::string> oids;
  for (unsigned i = 0;; ++i) {
    gnutls_x509_policy_st policy{};
    if (gnutls_x509_crt_get_policy(crt_, i, &policy, nullptr) < 0) break;
    if (policy.oid != nullptr) oids.emplace_back(policy.oid);
    gnutls_x509_policy_release(&policy);
  }
  return oids;
}

int Certificate::keyUsage() const {
  unsigned usage = 0;
  if (gnutls_x509_crt_get_key_usage(crt_, &usage, nullptr) < 0) return -1;
  return static_cast<int>(usage);
}

bool Certificate::isCa() const {
  unsigned critical = 0;
  return gnutls_x509_crt_get_basic_constraints(crt_, &critical, nullptr, nullptr) > 0;
}

std::vector<Certificate::Extension> Certificate::extensions() const {
  std::vector<Extension> out;
  for (unsigned i = 0;; ++i) {
    char oid[128];
    std::size_t size = sizeof oid;
    unsigned critical = 0;
    if (gnutls_x509_crt_get_extension_info(crt_, i, oid, &size, &critical) < 0) break;
    gnutls_datum_t value{};
    if (gnutls_x509_crt_get_extension_data2(crt_, i, &value) < 0) break;
    out.push_back(Extension{oid, critical != 0, datumText(value)});
  }
  return out;
}

Result<std::vector<Certificate::Attribute>> Certificate::subjectDirectoryAttributes() const {
  gnutls_datum_t value{};
  unsigned critical = 0;
  if (gnutls_x509_crt_get_extension_by_oid2(crt_, "2.5.29.9", 0, &value, &critical) < 0) {
    return kErrNotPresent;
  }
  std::string bytes = datumText(value);
  // SEQUENCE OF Attribute; Attribute ::= SEQUENCE { type OID, values SET OF ANY }
  std::string_view in = bytes;
  auto outer = der::expect(in, der::kSequence);
  if (!outer || !in.empty()) return kErrBadData;
  std::vector<Attribute> attributes;
  for (std::string_view list = outer->content; !list.empty();) {
    auto attribute = der::expect(list, der::kSequence);
    if (!attribute) return kErrBadData;
    std::string_view fields = attribute->content;
    auto type = der::expect(fields, der::kOid);
    auto values = der::expect(fields, der::kSet);
    std::optional<std::string> oid = type ? der::oidText(*type) : std::nullopt;
    if (!oid || !values) return kErrBadData;
    Attribute entry{*oid, {}};
    for (std::string_view set = values->content; !set.empty();) {
      auto item = der::read(set);
      if (!item) return kErrBadData;
      entry.values.push_back(attributeValueText(*item));
    }
    attributes.push_back(std::move(entry));
  }
  return attributes;
}

std::string utcText(std::int64_t seconds) {
  std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  if (gmtime_r(&time, &parts) == nullptr) return "";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

}  // namespace qm::component
