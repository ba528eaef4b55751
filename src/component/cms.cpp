#include "component/cms.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/pkcs7.h>

#include "component/der.h"

namespace qm::component {

namespace {

gnutls_datum_t datumOf(std::string_view bytes) {
  return gnutls_datum_t{reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())),
                        static_cast<unsigned>(bytes.size())};
}

std::string take(gnutls_datum_t& datum) {
  std::string out(reinterpret_cast<const char*>(datum.data), datum.size);
  gnutls_free(datum.data);
  datum.data = nullptr;
  return out;
}

Secret takeSecret(gnutls_datum_t& datum) {
  Secret out(std::string(reinterpret_cast<const char*>(datum.data), datum.size));
  wipe(datum.data, datum.size);
  gnutls_free(datum.data);
  datum.data = nullptr;
  return out;
}

// Encoded OBJECT IDENTIFIERs.
const std::string kOidData("\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x01", 11);
const std::string kOidEnvelopedData("\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x03", 11);
const std::string kOidRsaEncryption("\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x01\x01", 11);
constexpr char kAes128Cbc[] = "2.16.840.1.101.3.4.1.2";
constexpr char kAes192Cbc[] = "2.16.840.1.101.3.4.1.22";
constexpr char kAes256Cbc[] = "2.16.840.1.101.3.4.1.42";
const std::string kOidAes256Cbc("\x06\x09\x60\x86\x48\x01\x65\x03\x04\x01\x2A", 11);

class Pkcs7 {
 public:
  Pkcs7() { gnutls_pkcs7_init(&value_); }
  ~Pkcs7() {
    if (value_ != nullptr) gnutls_pkcs7_deinit(value_);
  }
  Pkcs7(const Pkcs7&) = delete;
  Pkcs7& operator=(const Pkcs7&) = delete;
  gnutls_pkcs7_t get() const { return value_; }

 private:
  gnutls_pkcs7_t value_ = nullptr;
};

}  // namespace

Result<std::string> cmsSign(gnutls_privkey_t key, const Certificate& signer, std::string_view data,
                            const SignOptions& options) {
  Pkcs7 pkcs7;
  if (pkcs7.get() == nullptr) return kErrInternal;
  unsigned flags = 0;
  if (!options.detached) flags |= GNUTLS_PKCS7_EMBED_DATA;
  if (options.includeCertificate) flags |= GNUTLS_PKCS7_INCLUDE_CERT;
  if (options.includeTime) flags |= GNUTLS_PKCS7_INCLUDE_TIME;
  gnutls_datum_t content = datumOf(data);
  int status = gnutls_pkcs7_sign(pkcs7.get(), signer.get(), key, &content, nullptr, nullptr,
                                 options.digest, flags);
  if (status < 0) return kErrSign;
  gnutls_datum_t out{};
  if (gnutls_pkcs7_export2(pkcs7.get(), GNUTLS_X509_FMT_DER, &out) < 0) return kErrInternal;
  return take(out);
}

Result<std::string> rawSign(gnutls_privkey_t key, std::string_view data,
                            gnutls_digest_algorithm_t digest) {
  gnutls_datum_t content = datumOf(data);
  gnutls_datum_t signature{};
  if (gnutls_privkey_sign_data(key, digest, 0, &content, &signature) < 0) return kErrSign;
  return take(signature);
}

Result<SignatureAlgorithm> cmsSignatureAlgorithm(std::string_view base64, unsigned index) {
  Result<std::string> der = base64Decode(base64);
  if (!der.ok()) return der.error;
  Pkcs7 pkcs7;
  if (pkcs7.get() == nullptr) return kErrInternal;
  gnutls_datum_t datum = datumOf(der.value);
  if (gnutls_pkcs7_import(pkcs7.get(), &datum, GNUTLS_X509_FMT_DER) < 0) return kErrBadData;
  int count = gnutls_pkcs7_get_signature_count(pkcs7.get());
  if (count < 0) return kErrBadData;
  if (index >= static_cast<unsigned>(count)) return kErrNoSignature;
  gnutls_pkcs7_signature_info_st info{};
  if (gnutls_pkcs7_get_signature_info(pkcs7.get(), index, &info) < 0) return kErrBadData;
  SignatureAlgorithm algorithm;
  if (const char* name = gnutls_sign_get_name(info.algo)) algorithm.name = name;
  if (const char* oid = gnutls_sign_get_oid(info.algo)) algorithm.oid = oid;
  gnutls_pkcs7_signature_info_deinit(&info);
  if (algorithm.name.empty()) return kErrBadData;
  return algorithm;
}

Result<std::string> rsaEncrypt(const Certificate& recipient, std::string_view data) {
  if (recipient.keyAlgorithm() != GNUTLS_PK_RSA) return kErrKeyType;
  gnutls_pubkey_t key = nullptr;
  if (gnutls_pubkey_init(&key) < 0) return kErrInternal;
  Result<std::string> result = kErrEncrypt;
  gnutls_datum_t plain = datumOf(data);
  gnutls_datum_t cipher{};
  if (gnutls_pubkey_import_x509(key, recipient.get(), 0) >= 0 &&
      gnutls_pubkey_encrypt_data(key, 0, &plain, &cipher) >= 0) {
    result = take(cipher);
  }
  gnutls_pubkey_deinit(key);
  return result;
}

Result<Secret> rsaDecrypt(gnutls_privkey_t key, std::string_view cipher) {
  if (gnutls_privkey_get_pk_algorithm(key, nullptr) != GNUTLS_PK_RSA) return kErrKeyType;
  gnutls_datum_t in = datumOf(cipher);
  gnutls_datum_t plain{};
  if (gnutls_privkey_decrypt_data(key, 0, &in, &plain) < 0) return kErrDecrypt;
  return takeSecret(plain);
}

Result<std::string> cmsEnvelope(const Certificate& recipient, std::string_view data) {
  if (recipient.keyAlgorithm() != GNUTLS_PK_RSA) return kErrKeyType;
  Secret contentKey(std::string(32, '\0'));
  std::string iv(16, '\0');
  if (gnutls_rnd(GNUTLS_RND_KEY, contentKey.get().data(), 32) < 0 ||
      gnutls_rnd(GNUTLS_RND_NONCE, iv.data(), iv.size()) < 0) {
    return kErrInternal;
  }
  Result<std::string> encryptedKey = rsaEncrypt(recipient, contentKey.get());
  if (!encryptedKey.ok()) return encryptedKey.error;

  // PKCS #7 padding to the block size.
  Secret padded{std::string(data)};
  std::size_t pad = 16 - padded.get().size() % 16;
  padded.get().append(pad, static_cast<char>(pad));
  gnutls_cipher_hd_t cipher = nullptr;
  gnutls_datum_t keyDatum = datumOf(contentKey.get());
  gnutls_datum_t ivDatum = datumOf(iv);
  if (gnutls_cipher_init(&cipher, GNUTLS_CIPHER_AES_256_CBC, &keyDatum, &ivDatum) < 0) {
    return kErrInternal;
  }
  std::string encrypted(padded.get().size(), '\0');
  int status = gnutls_cipher_encrypt2(cipher, padded.get().data(), padded.get().size(),
                                      encrypted.data(), encrypted.size());
  gnutls_cipher_deinit(cipher);
  if (status < 0) return kErrEncrypt;

  using der::encode;
  std::string recipientInfo = encode(
      der::kSequence, encode(der::kInteger, std::string(1, '\0')) +
                          encode(der::kSequence, recipient.rawIssuer() +
                                                     encode(der::kInteger, recipient.rawSerial())) +
                          encode(der::kSequence, kOidRsaEncryption + encode(der::kNull, "")) +
                          encode(der::kOctetString, encryptedKey.value));
  std::string encryptedContentInfo =
      encode(der::kSequence,
             kOidData + encode(der::kSequence, kOidAes256Cbc + encode(der::kOctetString, iv)) +
                 encode(0x80, encrypted));
  std::string envelopedData =
      encode(der::kSequence, encode(der::kInteger, std::string(1, '\0')) +
                                 encode(der::kSet, recipientInfo) + encryptedContentInfo);
  return encode(der::kSequence, kOidEnvelopedData + encode(0xA0, envelopedData));
}

Result<Envelope> cmsParseEnvelope(std::string_view in) {
  auto contentInfo = der::expect(in, der::kSequence);
  if (!contentInfo || !in.empty()) return kErrBadData;
  std::string_view fields = contentInfo->content;
  auto type = der::expect(fields, der::kOid);
  auto explicitContent = der::expect(fields, 0xA0);
  if (!type || type->whole != kOidEnvelopedData || !explicitContent) return kErrBadData;
  std::string_view body = explicitContent->content;
  auto enveloped = der::expect(body, der::kSequence);
  if (!enveloped) return kErrBadData;
  std::string_view parts = enveloped->content;
  auto version = der::expect(parts, der::kInteger);
  auto next = der::read(parts);
  if (next && next->tag == 0xA0) next = der::read(parts);  // originatorInfo
  if (!version || !next || next->tag != der::kSet) return kErrBadData;

  Envelope envelope;
  for (std::string_view list = next->content; !list.empty();) {
    auto info = der::read(list);
    if (!info) return kErrBadData;
    if (info->tag != der::kSequence) continue;  // other recipient kinds: not ours
    std::string_view items = info->content;
    auto infoVersion = der::expect(items, der::kInteger);
    auto rid = der::read(items);
    auto algorithm = der::expect(items, der::kSequence);
    auto encryptedKey = der::expect(items, der::kOctetString);
    if (!infoVersion || !rid || !algorithm || !encryptedKey) return kErrBadData;
    if (rid->tag != der::kSequence) continue;  // subject key identifier: not supported
    std::string_view ids = rid->content;
    auto issuer = der::expect(ids, der::kSequence);
    auto serial = der::expect(ids, der::kInteger);
    if (!issuer || !serial) return kErrBadData;
    std::string_view algorithmFields = algorithm->content;
    auto algorithmOid = der::expect(algorithmFields, der::kOid);
    if (!algorithmOid || algorithmOid->whole != kOidRsaEncryption) continue;
    envelope.recipients.push_back(EnvelopeRecipient{std::string(issuer->whole),
                                                    std::string(serial->content),
                                                    std::string(encryptedKey->content)});
  }

  auto encryptedContentInfo = der::expect(parts, der::kSequence);
  if (!encryptedContentInfo) return kErrBadData;
  std::string_view content = encryptedContentInfo->content;
  auto contentType = der::expect(content, der::kOid);
  auto algorithm = der::expect(content, der::kSequence);
  auto encrypted = der::read(content);
  if (!contentType || !algorithm || !encrypted) return kErrBadData;
  std::string_view algorithmFields = algorithm->content;
  auto cipherOid = der::expect(algorithmFields, der::kOid);
  auto iv = der::expect(algorithmFields, der::kOctetString);
  std::optional<std::string> oid = cipherOid ? der::oidText(*cipherOid) : std::nullopt;
  if (!oid || !iv || iv->content.size() != 16) return kErrBadData;
  envelope.cipherOid = *oid;
  envelope.iv = std::string(iv->content);
  if (encrypted->tag == 0x80) {
    envelope.encryptedContent = std::string(encrypted->content);
  } else if (encrypted->tag == 0xA0) {
    // Constructed form: a series of OCTET STRING pieces.
    for (std::string_view pieces = encrypted->content; !pieces.empty();) {
      auto piece = der::expect(pieces, der::kOctetString);
      if (!piece) return kErrBadData;
      envelope.encryptedContent += piece->content;
    }
  } else {
    return kErrBadData;
  }
  if (envelope.encryptedContent.empty() || envelope.encryptedContent.size() % 16 != 0) {
    return kErrBadData;
  }
  return envelope;
}

Result<Secret> cmsOpen(const Envelope& envelope, const EnvelopeRecipient& recipient,
                       gnutls_privkey_t key) {
  gnutls_cipher_algorithm_t algorithm;
  std::size_t keySize;
  if (envelope.cipherOid == kAes256Cbc) {
    algorithm = GNUTLS_CIPHER_AES_256_CBC;
    keySize = 32;
  } else if (envelope.cipherOid == kAes192Cbc) {
    algorithm = GNUTLS_CIPHER_AES_192_CBC;
    keySize = 24;
  } else if (envelope.cipherOid == kAes128Cbc) {
    algorithm = GNUTLS_CIPHER_AES_128_CBC;
    keySize = 16;
  } else {
    return kErrBadData;
  }
  Result<Secret> contentKey = rsaDecrypt(key, recipient.encryptedKey);
  if (!contentKey.ok()) return contentKey.error;
  if (contentKey.value.get().size() != keySize) return kErrDecrypt;
  gnutls_cipher_hd_t cipher = nullptr;
  gnutls_datum_t keyDatum = datumOf(contentKey.value.get());
  gnutls_datum_t ivDatum = datumOf(envelope.iv);
  if (gnutls_cipher_init(&cipher, algorithm, &keyDatum, &ivDatum) < 0) return kErrInternal;
  Secret plain(std::string(envelope.encryptedContent.size(), '\0'));
  int status = gnutls_cipher_decrypt2(cipher, envelope.encryptedContent.data(),
                                      envelope.encryptedContent.size(), plain.get().data(),
                                      plain.get().size());
  gnutls_cipher_deinit(cipher);
  if (status < 0) return kErrDecrypt;
  std::string& text = plain.get();
  unsigned char pad = static_cast<unsigned char>(text.back());
  if (pad == 0 || pad > 16 || pad > text.size()) return kErrDecrypt;
  for (std::size_t i = text.size() - pad; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) != pad) return kErrDecrypt;
  }
  wipe(text.data() + text.size() - pad, pad);
  text.resize(text.size() - pad);
  return plain;
}

}  // namespace qm::component
