// The crypto component: the 58 methods of IZDGPKICrypt over tokens, certificates, CMS and XML
// signatures. Each method resets the last error, does its work through one body, and on failure
// leaves its output untouched and answers hresultOf(error). docs/component.md is the reference.
#include <gnutls/gnutls.h>
#include <gnutls/pkcs11.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "component/certificate.h"
#include "component/cms.h"
#include "component/code_page.h"
#include "component/common.h"
#include "component/token.h"
#include "component/xml_sign.h"
#include "component/zdgpki_crypt.h"

namespace qm::component {

namespace {

using namespace qm::com;

constexpr char kComponentVersion[] = "1.0.0";

// iFlags bits shared by the data functions.
constexpr std::int32_t kFlagDetached = 0x1;       // CMS without the content
constexpr std::int32_t kFlagBase64Data = 0x2;     // data in / plaintext out as Base64 bytes
constexpr std::int32_t kFlagNoCertificate = 0x4;  // CMS without the signer's certificate
constexpr std::int32_t kFlagNoSigningTime = 0x8;  // CMS without the signing time
constexpr std::int32_t kFlagAllTokens = 0x1;      // enumeration over every token
constexpr std::int32_t kFlagAlternate = 0x1;      // inspection: the second output form

// Certificate type bits (GPKI_GetCertType) and key choices (iKeyUsage).
constexpr int kTypeSignature = 0x1;
constexpr int kTypeEncryption = 0x2;
constexpr int kTypeCa = 0x4;

std::optional<gnutls_digest_algorithm_t> hashOf(std::int32_t flag) {
  switch (flag) {
    case 0:
    case 2:
      return GNUTLS_DIG_SHA256;
    case 1:
      return GNUTLS_DIG_SHA1;
    case 3:
      return GNUTLS_DIG_SHA384;
    case 4:
      return GNUTLS_DIG_SHA512;
    default:
      return std::nullopt;
  }
}

int certificateType(const Certificate& certificate) {
  int usage = certificate.keyUsage();
  int type = certificate.isCa() ? kTypeCa : 0;
  if (usage < 0) return type | kTypeSignature | kTypeEncryption;
  if (usage & (GNUTLS_KEY_DIGITAL_SIGNATURE | GNUTLS_KEY_NON_REPUDIATION)) type |= kTypeSignature;
  if (usage &
      (GNUTLS_KEY_KEY_ENCIPHERMENT | GNUTLS_KEY_DATA_ENCIPHERMENT | GNUTLS_KEY_KEY_AGREEMENT)) {
    type |= kTypeEncryption;
  }
  return type;
}

std::string text(BSTR value) {
  return utf16ToUtf8(bstrView(value));
}

Secret secretText(BSTR value) {
  return Secret(utf16ToUtf8(bstrView(value)));
}

std::string joined(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (const std::string& part : parts) {
    if (!out.empty()) out += separator;
    out += part;
  }
  return out;
}

// Wrong PINs in a row per token serial, for the whole process: a page that opens a new session
// still sees what the last one did.
class PinCounter {
 public:
  void record(const std::string& serial, ErrorCode result) {
    std::lock_guard lock(mutex_);
    if (result == kOk) {
      counts_.erase(serial);
    } else if (result == kErrPinIncorrect || result == kErrPinFinalTry || result == kErrPinLocked) {
      ++counts_[serial];
    }
  }
  int count(const std::string& serial) {
    std::lock_guard lock(mutex_);
    auto found = counts_.find(serial);
    return found == counts_.end() ? 0 : found->second;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, int> counts_;
};

PinCounter& pinCounter() {
  static PinCounter counter;
  return counter;
}

// A token key with its certificate.
struct KeyChoice {
  TokenCertificate certificate;
  PrivateKey key;
};

class Crypt final : public IZDGPKICrypt {
 public:
  explicit Crypt(const ComponentRuntimeApi* runtime) : runtime_(runtime) {}

  // ---- IUnknown, IDispatch ----
  HRESULT QueryInterface(const Guid& interfaceId, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (interfaceId == IID_IUnknown || interfaceId == IID_IDispatch ||
        interfaceId == kIZDGPKICryptInterfaceId) {
      *object = static_cast<IZDGPKICrypt*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT GetTypeInfoCount(std::uint32_t* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(std::uint32_t, std::uint32_t, void**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(const Guid&, OLECHAR**, std::uint32_t, std::uint32_t,
                        std::int32_t*) override {
    return E_NOTIMPL;
  }
  HRESULT Invoke(std::int32_t, const Guid&, std::uint32_t, std::uint16_t, void*, VARIANT*, void*,
                 std::uint32_t*) override {
    return E_NOTIMPL;
  }

  // ---- state and errors ----
  HRESULT get_lastError(std::int32_t* result) override {
    if (result == nullptr) return E_POINTER;
    *result = lastError_;
    return S_OK;
  }

  HRESULT SetCodePage(std::int32_t codePage) override {
    return run([&]() -> ErrorCode {
      if (!codePageName(codePage)) return kErrCodePage;
      codePage_ = codePage;
      return kOk;
    });
  }

  HRESULT SetDialogString(std::int32_t dlgID, std::int32_t IDS, BSTR value,
                          std::int32_t* result) override {
    return run([&]() -> ErrorCode {
      if (value == nullptr) return kErrMissingParameter;
      // Kept only: PINs come from the page, so the component shows no dialog of its own.
      dialogStrings_[{dlgID, IDS}] = text(value);
      return putInt(result, 0);
    });
  }

  HRESULT GetVersion(std::int32_t flag, BSTR* result) override {
    return run([&]() -> ErrorCode {
      if (flag == 0) return putText(result, kComponentVersion);
      if (flag == 1) return putText(result, std::string("GnuTLS ") + gnutls_check_version(nullptr));
      return kErrBadFlag;
    });
  }

  // ---- Base64 ----
  HRESULT GPKI_Base64Encode(BSTR srcData, BSTR codePage, BSTR* result) override {
    return run([&]() -> ErrorCode {
      if (srcData == nullptr) return kErrMissingParameter;
      auto name = codePageName(text(codePage), codePage_);
      if (!name) return kErrCodePage;
      Result<std::string> bytes = fromUtf8(text(srcData), *name);
      if (!bytes.ok()) return bytes.error;
      Secret owned(std::move(bytes.value));
      return putText(result, base64Encode(owned.get()));
    });
  }

  HRESULT GPKI_Base64Decode(BSTR base64String, BSTR outCodePage, BSTR* result) override {
    return run([&]() -> ErrorCode {
      if (base64String == nullptr) return kErrMissingParameter;
      auto name = codePageName(text(outCodePage), codePage_);
      if (!name) return kErrCodePage;
      Result<std::string> bytes = base64Decode(text(base64String));
      if (!bytes.ok()) return bytes.error;
      Secret owned(std::move(bytes.value));
      Result<std::string> decoded = toUtf8(owned.get(), *name);
      if (!decoded.ok()) return decoded.error;
      Secret plain(std::move(decoded.value));
      return putText(result, plain.get());
    });
  }

  // ---- certificate inspection ----
  HRESULT CAPICertGetSerialNumber(BSTR strCert, std::int32_t, BSTR* result) override {
    return inspect(strCert, result,
                   [](const Certificate& c) -> Result<std::string> { return c.serialHex(); });
  }
  HRESULT CAPICertGetIssuer(BSTR strCert, std::int32_t iFlags, BSTR* result) override {
    return inspect(strCert, result, [&](const Certificate& c) -> Result<std::string> {
      return nameOf(iFlags, c.issuer(), c.issuerAttribute(GNUTLS_OID_X520_COMMON_NAME));
    });
  }
  HRESULT CAPICertGetSubject(BSTR strCert, std::int32_t iFlags, BSTR* result) override {
    return inspect(strCert, result, [&](const Certificate& c) -> Result<std::string> {
      return nameOf(iFlags, c.subject(), c.subjectAttribute(GNUTLS_OID_X520_COMMON_NAME));
    });
  }
  HRESULT GPKI_GetTailOfCitizenID(BSTR strCert, std::int32_t iFlags, BSTR* result) override {
    return inspect(strCert, result, [&](const Certificate& c) -> Result<std::string> {
      if (iFlags < 0) return kErrBadFlag;
      std::size_t length = iFlags == 0 ? 4 : static_cast<std::size_t>(iFlags);
      std::string id = c.subjectAttribute("2.5.4.5");
      if (id.empty()) return kErrNotPresent;
      return id.size() <= length ? id : id.substr(id.size() - length);
    });
  }
  HRESULT GPKI_GetCertType(BSTR strCert, std::int32_t, std::int32_t* result) override {
    return run([&]() -> ErrorCode {
      Result<Certificate> certificate = Certificate::fromText(text(strCert));
      if (!certificate.ok()) return certificate.error;
      return putInt(result, certificateType(certificate.value));
    });
  }
  HRESULT GPKI_GetOrganizationID(BSTR strCert, std::int32_t, BSTR* result) override {
    return inspect(strCert, result, [](const Certificate& c) -> Result<std::string> {
      std::string id = c.subjectAttribute("2.5.4.97");
      if (id.empty()) id = c.subjectAttribute(GNUTLS_OID_X520_ORGANIZATIONAL_UNIT_NAME);
      if (id.empty()) return kErrNotPresent;
      return id;
    });
  }
  HRESULT GPKI_GetCardHolderRank(BSTR strCert, std::int32_t, BSTR* result) override {
    return inspect(strCert, result, [](const Certificate& c) -> Result<std::string> {
      std::string rank = c.subjectAttribute(GNUTLS_OID_X520_TITLE);
      if (rank.empty()) return kErrNotPresent;
      return rank;
    });
  }
  HRESULT GPKI_GetCertTypeOID(BSTR strCert, std::int32_t iFlags, BSTR* result) override {
    return inspect(strCert, result, [&](const Certificate& c) { return policyAt(c, iFlags, 0); });
  }
  HRESULT GPKI_GetEntityOID(BSTR cert, std::int32_t iFlags, BSTR* result) override {
    return inspect(cert, result, [&](const Certificate& c) { return policyAt(c, iFlags, 1); });
  }
  HRESULT CAPICertGetPublicKey(BSTR strCert, std::int32_t iFlags, BSTR* result) override {
    return inspect(strCert, result, [&](const Certificate& c) -> Result<std::string> {
      std::string spki = c.publicKeyDer();
      if (spki.empty()) return kErrNotCertificate;
      if ((iFlags & kFlagAlternate) == 0) return base64Encode(spki);
      std::string pem = "-----BEGIN PUBLIC KEY-----\n";
      std::string body = base64Encode(spki);
      for (std::size_t i = 0; i < body.size(); i += 64) pem += body.substr(i, 64) + "\n";
      return pem + "-----END PUBLIC KEY-----\n";
    });
  }
  HRESULT CAPICertGetNotBefore(BSTR strCert, std::int32_t iFlags, BSTR* result) override {
    return inspect(strCert, result,
                   [&](const Certificate& c) { return timeOf(iFlags, c.notBefore()); });
  }
  HRESULT CAPICertGetNotAfter(BSTR strCert, std::int32_t iFlags, BSTR* result) override {
    return inspect(strCert, result,
                   [&](const Certificate& c) { return timeOf(iFlags, c.notAfter()); });
  }
  HRESULT CAPICertGetVersion(BSTR strCert, std::int32_t, BSTR* result) override {
    return inspect(strCert, result, [](const Certificate& c) -> Result<std::string> {
      if (c.version() <= 0) return kErrNotCertificate;
      return std::to_string(c.version());
    });
  }
  HRESULT CryptCertGetSignatureAlgorithm(BSTR strCert, std::int32_t iFlags, BSTR* result) override {
    return inspect(strCert, result, [&](const Certificate& c) -> Result<std::string> {
      return (iFlags & kFlagAlternate) ? c.signatureAlgorithmOid() : c.signatureAlgorithmName();
    });
  }
  HRESULT CryptCertGetExtension(BSTR strCert, std::int32_t, BSTR* result) override {
    return inspect(strCert, result, [](const Certificate& c) -> Result<std::string> {
      std::vector<std::string> entries;
      for (const Certificate::Extension& extension : c.extensions()) {
        entries.push_back(extension.oid + "," + (extension.critical ? "1" : "0") + "," +
                          base64Encode(extension.value));
      }
      if (entries.empty()) return kErrNotPresent;
      return joined(entries, ";");
    });
  }
  HRESULT GPKI_CertGetSubjectDirectoryAttrs(BSTR strCert, BSTR strOID, std::int32_t,
                                            BSTR* result) override {
    return inspect(strCert, result, [&](const Certificate& c) -> Result<std::string> {
      auto attributes = c.subjectDirectoryAttributes();
      if (!attributes.ok()) return attributes.error;
      std::string wanted = text(strOID);
      std::vector<std::string> entries;
      for (const Certificate::Attribute& attribute : attributes.value) {
        if (wanted.empty()) {
          entries.push_back(attribute.oid + "=" + joined(attribute.values, ","));
        } else if (attribute.oid == wanted) {
          return joined(attribute.values, ",");
        }
      }
      if (entries.empty()) return kErrNotPresent;
      return joined(entries, ";");
    });
  }
  HRESULT CryptSignatureGetAlgorithm(BSTR strSignature, std::int32_t iFlags, std::int32_t index,
                                     BSTR* result) override {
    return run([&]() -> ErrorCode {
      if (bstrLength(strSignature) == 0) return kErrMissingParameter;
      if (index < 0) return kErrNoSignature;
      auto algorithm = cmsSignatureAlgorithm(text(strSignature), static_cast<unsigned>(index));
      if (!algorithm.ok()) return algorithm.error;
      return putText(result,
                     (iFlags & kFlagAlternate) ? algorithm.value.oid : algorithm.value.name);
    });
  }

  // ---- tokens ----
  HRESULT GPKI_GetSlotCount(std::int32_t* result) override {
    return run([&]() -> ErrorCode {
      if (!pkcs11Ready()) return kErrToken;
      return putInt(result, static_cast<std::int32_t>(presentTokens().size()));
    });
  }

  HRESULT GPKI_SetReaderSlot(std::int32_t, std::int32_t slot, std::int32_t* result) override {
    return run([&]() -> ErrorCode {
      if (!pkcs11Ready()) return kErrToken;
      std::vector<Token> tokens = presentTokens();
      if (slot < 0 || static_cast<std::size_t>(slot) >= tokens.size()) return kErrSlotRange;
      if (tokens[slot].url != boundToken_) logout();
      slot_ = slot;
      boundToken_ = tokens[slot].url;
      return putInt(result, slot);
    });
  }

  HRESULT GPKI_DetectCard(std::int32_t iFlags, std::int32_t* result) override {
    return run([&]() -> ErrorCode {
      if (!pkcs11Ready()) return putInt(result, 0);
      std::vector<Token> tokens = presentTokens();
      bool present = !tokens.empty();
      if ((iFlags & 0x1) != 0 && !boundToken_.empty()) {
        present = false;
        for (const Token& token : tokens) present = present || token.url == boundToken_;
      }
      return putInt(result, present ? 1 : 0);
    });
  }

  HRESULT GPKI_GetSerialNumber(BSTR* result) override {
    return run([&]() -> ErrorCode {
      Result<Token> token = currentToken();
      if (!token.ok()) return token.error;
      if (token.value.serial.empty()) return kErrNotPresent;
      return putText(result, token.value.serial);
    });
  }

  HRESULT GPKI_EnumCerts(std::int32_t iFlags, VARIANT* result) override {
    return run([&]() -> ErrorCode {
      if (result == nullptr) return kErrMissingParameter;
      Result<std::vector<std::string>> certificates = enumerate(iFlags);
      if (!certificates.ok()) return certificates.error;
      const auto& list = certificates.value;
      SAFEARRAY* array =
          runtime_->safeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(list.size()));
      if (array == nullptr) return kErrInternal;
      auto* items = static_cast<VARIANT*>(array->pvData);
      for (std::size_t i = 0; i < list.size(); ++i) {
        items[i] = VARIANT{};
        items[i].bstrVal = runtime_->sysAllocStringUtf8(list[i].data(), list[i].size());
        if (items[i].bstrVal == nullptr) {
          runtime_->safeArrayDestroy(array);
          return kErrInternal;
        }
        items[i].vt = VT_BSTR;
      }
      *result = VARIANT{};
      result->vt = static_cast<VARTYPE>(VT_ARRAY | VT_VARIANT);
      result->parray = array;
      return kOk;
    });
  }

  HRESULT GPKI_EnumCertsToString(std::int32_t iFlags, BSTR* result) override {
    return run([&]() -> ErrorCode {
      Result<std::vector<std::string>> certificates = enumerate(iFlags);
      if (!certificates.ok()) return certificates.error;
      std::string out;
      for (const std::string& certificate : certificates.value) out += certificate + ";";
      return putText(result, out);
    });
  }

  HRESULT GPKI_GetAttributeCert(BSTR strReader, BSTR strPIN, std::int32_t iFlags,
                                BSTR* result) override {
    return run([&]() -> ErrorCode {
      Secret pin = secretText(strPIN);
      if (iFlags < 0) return kErrBadFlag;
      Result<Token> token = tokenNamed(text(strReader));
      if (!token.ok()) return token.error;
      if (!pin.empty()) {
        if (ErrorCode error = logIn(token.value, pin.get()); error != kOk) return error;
      }
      auto certificates = attributeCertificates(token.value.url);
      if (!certificates.ok()) return certificates.error;
      if (static_cast<std::size_t>(iFlags) >= certificates.value.size()) return kErrNotPresent;
      return putText(result, base64Encode(certificates.value[iFlags]));
    });
  }

  HRESULT GPKI_GetCachedCert(BSTR* result) override {
    return run([&]() -> ErrorCode {
      if (cachedCertificate_.empty()) return kErrNotPresent;
      return putText(result, cachedCertificate_);
    });
  }

  // ---- PIN ----
  HRESULT GPKI_VerifyPIN(BSTR bPIN, std::int32_t, std::int32_t* result) override {
    return run([&]() -> ErrorCode {
      Secret pin = secretText(bPIN);
      if (pin.empty()) return kErrPinEmpty;
      Result<Token> token = currentToken();
      if (!token.ok()) return token.error;
      if (ErrorCode error = logIn(token.value, pin.get()); error != kOk) return error;
      return putInt(result, 0);
    });
  }

  HRESULT GPKI_GetErrorPINCount(std::int32_t* result) override {
    return run([&]() -> ErrorCode {
      Result<Token> token = currentToken();
      if (!token.ok()) return token.error;
      int count = pinCounter().count(token.value.serial);
      // Wrong PINs another program entered show only in the token's flags.
      unsigned flags = tokenFlags(token.value.url);
      if (count == 0 && (flags & (GNUTLS_PKCS11_TOKEN_USER_PIN_COUNT_LOW |
                                  GNUTLS_PKCS11_TOKEN_USER_PIN_FINAL_TRY |
                                  GNUTLS_PKCS11_TOKEN_USER_PIN_LOCKED))) {
        count = 1;
      }
      return putInt(result, count);
    });
  }

  // ---- signing ----
  HRESULT GPKI_SignDataInit(BSTR sOptPIN, std::int32_t, std::int32_t* result) override {
    return begin(sOptPIN, false, result);
  }
  HRESULT GPKI_SignInit(BSTR sOptPIN, std::int32_t, std::int32_t* result) override {
    return begin(sOptPIN, false, result);
  }
  HRESULT GPKI_SignInitLogin(BSTR sOptPIN, std::int32_t, std::int32_t* result) override {
    return begin(sOptPIN, true, result);
  }
  HRESULT GPKI_SignDataFinal(std::int32_t, std::int32_t* result) override { return end(result); }
  HRESULT GPKI_SignFinal(std::int32_t, std::int32_t* result) override { return end(result); }

  HRESULT GPKI_SignData(BSTR sOptPIN, BSTR sData, BSTR signcodepage, std::int32_t iFlags,
                        std::int32_t iHashFlag, BSTR* result) override {
    return run([&]() -> ErrorCode {
      Secret pin = secretText(sOptPIN);
      return signCms(&pin, sData, signcodepage, iFlags, iHashFlag, result);
    });
  }
  HRESULT GPKI_SignDataUpdate(BSTR sData, BSTR signcodepage, std::int32_t iFlags,
                              std::int32_t iHashFlag, BSTR* result) override {
    return run([&]() -> ErrorCode {
      return signCms(nullptr, sData, signcodepage, iFlags, iHashFlag, result);
    });
  }
  HRESULT GPKI_PureSign(BSTR sOptPIN, BSTR sData, BSTR signcodepage, std::int32_t iFlags,
                        std::int32_t iHashFlag, BSTR* result) override {
    return run([&]() -> ErrorCode {
      Secret pin = secretText(sOptPIN);
      auto digest = hashOf(iHashFlag);
      if (!digest) return kErrBadFlag;
      Result<Secret> data = dataBytes(sData, signcodepage, iFlags);
      if (!data.ok()) return data.error;
      return withKey(&pin, kTypeSignature, {}, [&](KeyChoice& key) -> ErrorCode {
        Result<std::string> signature = rawSign(key.key.get(), data.value.get(), *digest);
        if (!signature.ok()) return signature.error;
        return putText(result, base64Encode(signature.value));
      });
    });
  }

  // ---- encryption ----
  HRESULT GPKI_EncryptByCert(BSTR strCert, BSTR strData, std::int32_t iFlags,
                             BSTR* result) override {
    return encrypt(strCert, strData, iFlags, result, &cmsEnvelope);
  }
  HRESULT GPKI_RSAEncryptByCert(BSTR strCert, BSTR strData, std::int32_t iFlags,
                                BSTR* result) override {
    return encrypt(strCert, strData, iFlags, result, &rsaEncrypt);
  }

  HRESULT GPKI_Decrypt(BSTR strCipher, std::int32_t iFlags, std::int32_t iKeyUsage,
                       BSTR* result) override {
    return run([&]() -> ErrorCode {
      Result<Secret> plain = openEnvelope(nullptr, strCipher, iKeyUsage);
      if (!plain.ok()) return plain.error;
      return putPlain(result, plain.value, iFlags);
    });
  }
  HRESULT GPKI_DecryptEx(BSTR sOptPIN, BSTR strCipher, std::int32_t iFlags, std::int32_t iKeyUsage,
                         BSTR* result) override {
    return run([&]() -> ErrorCode {
      Secret pin = secretText(sOptPIN);
      Result<Secret> plain = openEnvelope(&pin, strCipher, iKeyUsage);
      if (!plain.ok()) return plain.error;
      return putPlain(result, plain.value, iFlags);
    });
  }
  HRESULT GPKI_Decrypt2File(BSTR strCipher, BSTR strOutFilePath, std::int32_t,
                            std::int32_t iKeyUsage, std::int32_t* result) override {
    return run([&]() -> ErrorCode {
      if (result == nullptr) return kErrMissingParameter;
      std::string path = text(strOutFilePath);
      if (path.empty()) return kErrMissingParameter;
      Result<Secret> plain = openEnvelope(nullptr, strCipher, iKeyUsage);
      if (!plain.ok()) return plain.error;
      if (plain.value.get().size() > 0x7FFFFFFF) return kErrTooLarge;
      if (ErrorCode error = writeNewFile(path, plain.value.get()); error != kOk) return error;
      return putInt(result, static_cast<std::int32_t>(plain.value.get().size()));
    });
  }
  HRESULT GPKI_RSADecrypt(BSTR strCipher, BSTR strPinCode, std::int32_t iFlags,
                          BSTR* result) override {
    return run([&]() -> ErrorCode {
      Secret pin = secretText(strPinCode);
      if (bstrLength(strCipher) == 0) return kErrMissingParameter;
      Result<std::string> cipher = base64Decode(text(strCipher));
      if (!cipher.ok()) return cipher.error;
      return withKey(&pin, kTypeEncryption, {}, [&](KeyChoice& key) -> ErrorCode {
        Result<Secret> plain = rsaDecrypt(key.key.get(), cipher.value);
        if (!plain.ok()) return plain.error;
        return putPlain(result, plain.value, iFlags);
      });
    });
  }

  // ---- XML ----
  HRESULT SetXMLReferenceDirs(BSTR bstrMultiRefDir) override {
    return run([&]() -> ErrorCode {
      std::vector<std::string> dirs;
      std::string list = text(bstrMultiRefDir);
      for (std::size_t start = 0; start <= list.size();) {
        std::size_t end = list.find(';', start);
        if (end == std::string::npos) end = list.size();
        std::string dir = list.substr(start, end - start);
        dir.erase(0, dir.find_first_not_of(' '));
        dir.erase(dir.find_last_not_of(' ') + 1);
        if (!dir.empty()) {
          std::error_code ignored;
          if (dir[0] != '/' || !std::filesystem::is_directory(dir, ignored)) return kErrFileRead;
          dirs.push_back(dir);
        }
        start = end + 1;
      }
      referenceDirs_ = std::move(dirs);
      return kOk;
    });
  }

  HRESULT GPKI_XMLSignTemplate(BSTR bstrPIN, BSTR bstrXML, BSTR bstrSignId, std::int32_t,
                               BSTR* result) override {
    return xmlToText(XmlSource{bstrXML, false}, bstrSignId, true, &bstrPIN, true, result);
  }
  HRESULT GPKI_XMLSignTemplateFile(BSTR bstrPIN, BSTR bstrXMLFilePath, BSTR bstrSignId,
                                   std::int32_t, BSTR* result) override {
    return xmlToText(XmlSource{bstrXMLFilePath, true}, bstrSignId, true, &bstrPIN, true, result);
  }
  HRESULT GPKI_XMLCalcTemplateDigest(BSTR bstrXML, BSTR bstrSignId, BSTR* result) override {
    return xmlToText(XmlSource{bstrXML, false}, bstrSignId, true, nullptr, false, result);
  }
  HRESULT GPKI_XMLCalcTemplateFileDigest(BSTR bstrXMLFilePath, BSTR bstrSignId,
                                         BSTR* result) override {
    return xmlToText(XmlSource{bstrXMLFilePath, true}, bstrSignId, true, nullptr, false, result);
  }
  HRESULT GPKI_XMLSignTemplateDigest(BSTR bstrPIN, BSTR bstrXML, BSTR bstrSignId, std::int32_t,
                                     BSTR* result) override {
    return xmlToText(XmlSource{bstrXML, false}, bstrSignId, false, &bstrPIN, true, result);
  }
  HRESULT GPKI_XMLSignTemplateFileUpdate(BSTR bstrXMLFilePath, BSTR bstrSignId, std::int32_t,
                                         BSTR* result) override {
    return xmlToText(XmlSource{bstrXMLFilePath, true}, bstrSignId, true, nullptr, true, result);
  }
  HRESULT GPKI_XMLSignTemplateDigestUpdate(BSTR bstrXML, BSTR bstrSignId, std::int32_t,
                                           BSTR* result) override {
    return xmlToText(XmlSource{bstrXML, false}, bstrSignId, false, nullptr, true, result);
  }
  HRESULT GPKI_XMLSignTemplateUpdate(BSTR bstrXML, BSTR bstrSignId, std::int32_t,
                                     BSTR* result) override {
    return xmlToText(XmlSource{bstrXML, false}, bstrSignId, true, nullptr, true, result);
  }
  HRESULT GPKI_XMLSignTemplateFile2File(BSTR bstrPIN, BSTR bstrInXMLFilePath,
                                        BSTR bstrOutXMLFilePath, BSTR bstrSignId, std::int32_t,
                                        std::int32_t* result) override {
    return xmlToFile(XmlSource{bstrInXMLFilePath, true}, bstrOutXMLFilePath, bstrSignId, true,
                     &bstrPIN, result);
  }
  HRESULT GPKI_XMLSignTemplateDigest2File(BSTR bstrPIN, BSTR bstrXML, BSTR bstrOutXMLFilePath,
                                          BSTR bstrSignId, std::int32_t,
                                          std::int32_t* result) override {
    return xmlToFile(XmlSource{bstrXML, false}, bstrOutXMLFilePath, bstrSignId, false, &bstrPIN,
                     result);
  }

 private:
  ~Crypt() = default;

  // Runs one method body: the last error is reset first and set to the body's answer; nothing
  // escapes the slot.
  template <class Body>
  HRESULT run(Body&& body) noexcept {
    lastError_ = kOk;
    try {
      ErrorCode error = body();
      lastError_ = error;
      return error == kOk ? S_OK : hresultOf(error);
    } catch (const std::bad_alloc&) {
      lastError_ = kErrInternal;
      return E_OUTOFMEMORY;
    } catch (...) {
      lastError_ = kErrInternal;
      return E_FAIL;
    }
  }

  ErrorCode putText(BSTR* result, std::string_view value) {
    if (result == nullptr) return kErrMissingParameter;
    BSTR out = runtime_->sysAllocStringUtf8(value.data(), value.size());
    if (out == nullptr) return kErrInternal;
    *result = out;
    return kOk;
  }
  static ErrorCode putInt(std::int32_t* result, std::int32_t value) {
    if (result == nullptr) return kErrMissingParameter;
    *result = value;
    return kOk;
  }

  template <class Reader>
  HRESULT inspect(BSTR certificateText, BSTR* result, Reader&& reader) {
    return run([&]() -> ErrorCode {
      Result<Certificate> certificate = Certificate::fromText(text(certificateText));
      if (!certificate.ok()) return certificate.error;
      Result<std::string> value = reader(certificate.value);
      if (!value.ok()) return value.error;
      return putText(result, value.value);
    });
  }

  static Result<std::string> nameOf(std::int32_t flags, std::string dn, std::string commonName) {
    if ((flags & kFlagAlternate) == 0) return dn;
    if (commonName.empty()) return kErrNotPresent;
    return commonName;
  }
  static Result<std::string> timeOf(std::int32_t flags, std::int64_t seconds) {
    if (seconds < 0) return kErrNotCertificate;
    return (flags & kFlagAlternate) ? std::to_string(seconds) : utcText(seconds);
  }
  static Result<std::string> policyAt(const Certificate& certificate, std::int32_t flags,
                                      std::size_t first) {
    if (flags < 0) return kErrBadFlag;
    std::vector<std::string> policies = certificate.policyOids();
    std::size_t index = first + static_cast<std::size_t>(flags);
    if (index >= policies.size()) return kErrNotPresent;
    return policies[index];
  }

  // The token this instance works with: the one it used before (kErrTokenRemoved once when it
  // went away), else the chosen reader slot or the first token.
  Result<Token> currentToken() {
    if (!pkcs11Ready()) return kErrToken;
    std::vector<Token> tokens = presentTokens();
    if (!boundToken_.empty()) {
      for (Token& token : tokens) {
        if (token.url == boundToken_) return std::move(token);
      }
      logout();
      boundToken_.clear();
      slot_ = 0;
      return kErrTokenRemoved;
    }
    if (tokens.empty()) return kErrNoToken;
    std::size_t index = static_cast<std::size_t>(slot_);
    if (index >= tokens.size()) return kErrNoToken;
    boundToken_ = tokens[index].url;
    return std::move(tokens[index]);
  }

  // A token by label or serial number; empty: the current one.
  Result<Token> tokenNamed(const std::string& name) {
    if (name.empty()) return currentToken();
    if (!pkcs11Ready()) return kErrToken;
    for (Token& token : presentTokens()) {
      if (token.label == name || token.serial == name) return std::move(token);
    }
    return kErrNoToken;
  }

  void logout() {
    keys_.clear();
    login_.logout();
  }

  ErrorCode logIn(const Token& token, const std::string& pin) {
    keys_.clear();
    ErrorCode error = login_.login(token, pin);
    pinCounter().record(token.serial, error);
    if (error == kOk) boundToken_ = token.url;
    return error;
  }

  // Makes sure this instance is logged in to the current token: with the PIN when one is
  // given, else through an earlier login (kErrPinEmpty when a PIN could have been given,
  // kErrNotLoggedIn for the functions that take none).
  Result<Token> loggedInToken(Secret* pin) {
    Result<Token> token = currentToken();
    if (!token.ok()) return token.error;
    if (pin != nullptr && !pin->empty()) {
      if (ErrorCode error = logIn(token.value, pin->get()); error != kOk) return error;
      return token;
    }
    if (login_.loggedIn() && login_.tokenUrl() == token.value.url) return token;
    return pin != nullptr ? kErrPinEmpty : kErrNotLoggedIn;
  }

  using Accept = std::function<bool(const TokenCertificate&)>;

  // The first certificate on the token of the wanted type (and accepted) whose private key is
  // there. Keys stay imported for the login's lifetime; *cached tells whether this one was.
  Result<KeyChoice*> keyFor(Secret* pin, int type, const Accept& accept, bool* cached) {
    Result<Token> token = loggedInToken(pin);
    if (!token.ok()) return token.error;
    auto fits = [&](const TokenCertificate& candidate) {
      int candidateType = certificateType(candidate.certificate);
      if ((candidateType & kTypeCa) != 0 || (type != 0 && (candidateType & type) == 0)) {
        return false;
      }
      return !accept || accept(candidate);
    };
    *cached = true;
    for (KeyChoice& choice : keys_) {
      if (fits(choice.certificate)) {
        cachedCertificate_ = choice.certificate.certificate.base64();
        return &choice;
      }
    }
    *cached = false;
    auto certificates = tokenCertificates(token.value.url);
    if (!certificates.ok()) return certificates.error;
    for (TokenCertificate& candidate : certificates.value) {
      if (!fits(candidate)) continue;
      bool known = false;
      for (const KeyChoice& choice : keys_) known = known || choice.certificate.id == candidate.id;
      if (known) continue;
      Result<PrivateKey> key = login_.privateKey(candidate);
      if (key.error == kErrTokenRemoved) return kErrTokenRemoved;
      if (!key.ok()) continue;
      cachedCertificate_ = candidate.certificate.base64();
      keys_.push_back(KeyChoice{std::move(candidate), std::move(key.value)});
      return &keys_.back();
    }
    return kErrNoKey;
  }

  // Runs an operation with a token key. A kept key whose operation fails is imported anew
  // once: another page's PIN check may have ended this process's login, and a fresh import
  // logs in again with this page's PIN.
  template <class Operation>
  ErrorCode withKey(Secret* pin, int type, const Accept& accept, Operation&& operation) {
    for (int attempt = 0;; ++attempt) {
      bool cached = false;
      Result<KeyChoice*> key = keyFor(attempt == 0 ? pin : nullptr, type, accept, &cached);
      if (!key.ok()) return key.error;
      ErrorCode error = operation(*key.value);
      if (error == kOk || !cached || attempt > 0 || (error != kErrSign && error != kErrDecrypt)) {
        return error;
      }
      keys_.clear();
    }
  }

  // The bytes a data parameter stands for: Base64-decoded, or the text in the code page.
  Result<Secret> dataBytes(BSTR data, BSTR codePage, std::int32_t flags) {
    if (data == nullptr) return kErrMissingParameter;
    Secret plain = secretText(data);
    if (flags & kFlagBase64Data) {
      Result<std::string> bytes = base64Decode(plain.get());
      if (!bytes.ok()) return bytes.error;
      return Secret(std::move(bytes.value));
    }
    if (plain.get().size() > kMaxDataBytes) return kErrTooLarge;
    auto name = codePageName(text(codePage), codePage_);
    if (!name) return kErrCodePage;
    Result<std::string> converted = fromUtf8(plain.get(), *name);
    if (!converted.ok()) return converted.error;
    return Secret(std::move(converted.value));
  }

  ErrorCode putPlain(BSTR* result, const Secret& plain, std::int32_t flags) {
    if (flags & kFlagBase64Data) return putText(result, base64Encode(plain.get()));
    auto name = codePageName(codePage_);
    if (!name) return kErrCodePage;
    Result<std::string> converted = toUtf8(plain.get(), *name);
    if (!converted.ok()) return converted.error;
    Secret owned(std::move(converted.value));
    return putText(result, owned.get());
  }

  ErrorCode signCms(Secret* pin, BSTR data, BSTR codePage, std::int32_t flags,
                    std::int32_t hashFlag, BSTR* result) {
    auto digest = hashOf(hashFlag);
    if (!digest) return kErrBadFlag;
    Result<Secret> bytes = dataBytes(data, codePage, flags);
    if (!bytes.ok()) return bytes.error;
    SignOptions options;
    options.digest = *digest;
    options.detached = (flags & kFlagDetached) != 0;
    options.includeCertificate = (flags & kFlagNoCertificate) == 0;
    options.includeTime = (flags & kFlagNoSigningTime) == 0;
    return withKey(pin, kTypeSignature, {}, [&](KeyChoice& key) -> ErrorCode {
      Result<std::string> signature =
          cmsSign(key.key.get(), key.certificate.certificate, bytes.value.get(), options);
      if (!signature.ok()) return signature.error;
      return putText(result, base64Encode(signature.value));
    });
  }

  HRESULT begin(BSTR pinText, bool forceLogin, std::int32_t* result) {
    return run([&]() -> ErrorCode {
      Secret pin = secretText(pinText);
      if (forceLogin && pin.empty()) return kErrPinEmpty;
      Result<Token> token = loggedInToken(&pin);
      if (!token.ok()) return token.error;
      return putInt(result, 0);
    });
  }

  HRESULT end(std::int32_t* result) {
    return run([&]() -> ErrorCode {
      logout();
      return putInt(result, 0);
    });
  }

  HRESULT encrypt(BSTR certificateText, BSTR data, std::int32_t flags, BSTR* result,
                  Result<std::string> (*method)(const Certificate&, std::string_view)) {
    return run([&]() -> ErrorCode {
      Result<Certificate> certificate = Certificate::fromText(text(certificateText));
      if (!certificate.ok()) return certificate.error;
      Result<Secret> bytes = dataBytes(data, nullptr, flags);
      if (!bytes.ok()) return bytes.error;
      Result<std::string> cipher = method(certificate.value, bytes.value.get());
      if (!cipher.ok()) return cipher.error;
      return putText(result, base64Encode(cipher.value));
    });
  }

  Result<Secret> openEnvelope(Secret* pin, BSTR cipherText, std::int32_t keyUsage) {
    if (keyUsage < 0 || keyUsage > (kTypeSignature | kTypeEncryption)) return kErrBadFlag;
    if (bstrLength(cipherText) == 0) return kErrMissingParameter;
    Result<std::string> der = base64Decode(text(cipherText));
    if (!der.ok()) return der.error;
    Result<Envelope> envelope = cmsParseEnvelope(der.value);
    if (!envelope.ok()) return envelope.error;
    const EnvelopeRecipient* match = nullptr;
    auto recipientOf = [&](const TokenCertificate& candidate) {
      const Certificate& certificate = candidate.certificate;
      for (const EnvelopeRecipient& recipient : envelope.value.recipients) {
        if (recipient.issuer == certificate.rawIssuer() &&
            recipient.serial == certificate.rawSerial()) {
          match = &recipient;
          return true;
        }
      }
      return false;
    };
    Secret plain;
    ErrorCode error = withKey(pin, keyUsage, recipientOf, [&](KeyChoice& key) -> ErrorCode {
      Result<Secret> opened = cmsOpen(envelope.value, *match, key.key.get());
      if (!opened.ok()) return opened.error;
      plain = std::move(opened.value);
      return kOk;
    });
    if (error != kOk) return error == kErrNoKey ? kErrDecrypt : error;
    return plain;
  }

  struct XmlSource {
    BSTR value;
    bool isPath;
  };

  // Runs an XML job; signs with the token when `sign` (PIN as for the signing functions).
  Result<std::string> xmlRun(const XmlSource& source, BSTR signId, bool computeDigests, Secret* pin,
                             bool sign, bool keepEncoding) {
    std::string input = text(source.value);
    if (input.empty()) return kErrMissingParameter;
    if (source.isPath) {
      Result<std::string> bytes = readFileBytes(input);
      if (!bytes.ok()) return bytes.error;
      input = std::move(bytes.value);
    }
    std::string id = text(signId);
    XmlJob job;
    job.xml = input;
    job.fromFile = source.isPath;
    job.keepEncoding = keepEncoding;
    job.signId = id;
    job.computeDigests = computeDigests;
    job.referenceDirs = referenceDirs_;
    if (!sign) return xmlSignTemplate(job);

    std::string out;
    ErrorCode error = withKey(pin, kTypeSignature, {}, [&](KeyChoice& key) -> ErrorCode {
      XmlSigner signer;
      unsigned bits = 0;
      int algorithm = gnutls_privkey_get_pk_algorithm(key.key.get(), &bits);
      signer.algorithm =
          algorithm < 0 ? GNUTLS_PK_UNKNOWN : static_cast<gnutls_pk_algorithm_t>(algorithm);
      signer.bits = bits;
      signer.certificateBase64 = key.certificate.certificate.base64();
      gnutls_privkey_t privateKey = key.key.get();
      signer.sign = [privateKey](std::string_view data, gnutls_digest_algorithm_t digest) {
        return rawSign(privateKey, data, digest);
      };
      job.signer = &signer;
      Result<std::string> signedXml = xmlSignTemplate(job);
      if (!signedXml.ok()) return signedXml.error;
      out = std::move(signedXml.value);
      return kOk;
    });
    if (error != kOk) return error;
    return out;
  }

  // pinText: the PIN parameter, or null for the functions that have none.
  HRESULT xmlToText(const XmlSource& source, BSTR signId, bool computeDigests, const BSTR* pinText,
                    bool sign, BSTR* result) {
    return run([&]() -> ErrorCode {
      Secret pin = pinText != nullptr ? secretText(*pinText) : Secret();
      Result<std::string> out =
          xmlRun(source, signId, computeDigests, pinText != nullptr ? &pin : nullptr, sign, false);
      if (!out.ok()) return out.error;
      return putText(result, out.value);
    });
  }

  HRESULT xmlToFile(const XmlSource& source, BSTR outPath, BSTR signId, bool computeDigests,
                    const BSTR* pinText, std::int32_t* result) {
    return run([&]() -> ErrorCode {
      Secret pin = secretText(*pinText);
      if (result == nullptr) return kErrMissingParameter;
      std::string path = text(outPath);
      if (path.empty()) return kErrMissingParameter;
      Result<std::string> out = xmlRun(source, signId, computeDigests, &pin, true, true);
      if (!out.ok()) return out.error;
      if (ErrorCode error = writeNewFile(path, out.value); error != kOk) return error;
      return putInt(result, static_cast<std::int32_t>(out.value.size()));
    });
  }

  Result<std::vector<std::string>> enumerate(std::int32_t flags) {
    std::vector<Token> tokens;
    if (flags & kFlagAllTokens) {
      if (!pkcs11Ready()) return kErrToken;
      tokens = presentTokens();
      if (tokens.empty()) return kErrNoToken;
    } else {
      Result<Token> token = currentToken();
      if (!token.ok()) return token.error;
      tokens.push_back(std::move(token.value));
    }
    std::vector<std::string> out;
    for (const Token& token : tokens) {
      auto certificates = tokenCertificates(token.url);
      if (!certificates.ok()) return certificates.error;
      for (const TokenCertificate& certificate : certificates.value) {
        out.push_back(certificate.certificate.base64());
      }
    }
    return out;
  }

  const ComponentRuntimeApi* runtime_;
  std::atomic<ULONG> references_{1};
  std::int32_t lastError_ = kOk;
  int codePage_ = kUtf8CodePage;
  std::int32_t slot_ = 0;
  std::string boundToken_;
  Login login_;
  std::list<KeyChoice> keys_;  // imported keys of this login; before login_ goes, they go
  std::string cachedCertificate_;
  std::vector<std::string> referenceDirs_;
  std::map<std::pair<std::int32_t, std::int32_t>, std::string> dialogStrings_;
};

}  // namespace

}  // namespace qm::component

extern "C" __attribute__((visibility("default"))) qm::com::HRESULT componentCreateInstance(
    const qm::com::ComponentRuntimeApi* runtime, const qm::com::Guid* classId,
    const qm::com::Guid* interfaceId, void** object) {
  using namespace qm::com;
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (runtime == nullptr || classId == nullptr || interfaceId == nullptr) return E_POINTER;
  if (*classId != qm::component::kZdgpkiCryptClassId) return CLASS_E_CLASSNOTAVAILABLE;
  try {
    auto* crypt = new qm::component::Crypt(runtime);
    HRESULT result = crypt->QueryInterface(*interfaceId, object);
    crypt->Release();
    return result;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}
