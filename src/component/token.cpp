#include "component/token.h"

#include <gnutls/gnutls.h>
#include <gnutls/pkcs11.h>
#include <p11-kit/pkcs11.h>

#include <cstring>
#include <mutex>

#include "platform/pkcs11_environment.h"

namespace qm::component {

namespace {

// Balanced with the library's lifetime, so a reloaded component does not add the test module
// twice to GnuTLS's process-wide list.
class Pkcs11Process {
 public:
  Pkcs11Process() {
    if (gnutls_global_init() < 0) return;
    global_ = true;
    platform::useDemoTokenWhenUnconfigured();
    if (auto module = platform::pkcs11ModuleOverride()) {
      ready_ = gnutls_pkcs11_init(GNUTLS_PKCS11_FLAG_MANUAL, nullptr) >= 0;
      pkcs11_ = ready_;
      if (ready_) ready_ = gnutls_pkcs11_add_provider(module->c_str(), nullptr) >= 0;
    } else {
      ready_ = gnutls_pkcs11_init(GNUTLS_PKCS11_FLAG_AUTO, nullptr) >= 0;
      pkcs11_ = ready_;
    }
  }
  ~Pkcs11Process() {
    if (pkcs11_) gnutls_pkcs11_deinit();
    if (global_) gnutls_global_deinit();
  }
  bool ready() const { return ready_; }

 private:
  bool global_ = false;
  bool pkcs11_ = false;
  bool ready_ = false;
};

std::string infoText(const std::string& url, gnutls_pkcs11_token_info_t what) {
  char text[256] = {};
  std::size_t size = sizeof text;
  if (gnutls_pkcs11_token_get_info(url.c_str(), what, text, &size) < 0) return "";
  return std::string(text);
}

std::string percentEncoded(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += '%';
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

bool tokenGone(CK_RV rv) {
  return rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_DEVICE_REMOVED || rv == CKR_SLOT_ID_INVALID ||
         rv == CKR_TOKEN_NOT_RECOGNIZED || rv == CKR_SESSION_HANDLE_INVALID ||
         rv == CKR_SESSION_CLOSED;
}

}  // namespace

bool pkcs11Ready() {
  static Pkcs11Process process;
  return process.ready();
}

std::vector<Token> presentTokens() {
  std::vector<Token> tokens;
  if (!pkcs11Ready()) return tokens;
  for (unsigned i = 0;; ++i) {
    char* url = nullptr;
    if (gnutls_pkcs11_token_get_url(i, GNUTLS_PKCS11_URL_GENERIC, &url) < 0) break;
    Token token;
    token.url = url;
    gnutls_free(url);
    if (gnutls_pkcs11_token_get_flags(token.url.c_str(), &token.flags) < 0) continue;
    if ((token.flags & GNUTLS_PKCS11_TOKEN_TRUSTED) != 0) continue;
    if ((token.flags & GNUTLS_PKCS11_TOKEN_INITIALIZED) == 0) continue;
    token.label = infoText(token.url, GNUTLS_PKCS11_TOKEN_LABEL);
    token.serial = infoText(token.url, GNUTLS_PKCS11_TOKEN_SERIAL);
    tokens.push_back(std::move(token));
  }
  return tokens;
}

unsigned tokenFlags(const std::string& tokenUrl) {
  unsigned flags = 0;
  if (gnutls_pkcs11_token_get_flags(tokenUrl.c_str(), &flags) < 0) return 0;
  return flags;
}

Result<std::vector<TokenCertificate>> tokenCertificates(const std::string& tokenUrl) {
  gnutls_pkcs11_obj_t* list = nullptr;
  unsigned count = 0;
  int status = gnutls_pkcs11_obj_list_import_url4(&list, &count, tokenUrl.c_str(),
                                                  GNUTLS_PKCS11_OBJ_FLAG_CRT);
  // "Nothing found" is an empty token, not a failure.
  if (status == GNUTLS_E_REQUESTED_DATA_NOT_AVAILABLE) return std::vector<TokenCertificate>();
  if (status < 0) return kErrToken;
  std::vector<TokenCertificate> certificates;
  for (unsigned i = 0; i < count; ++i) {
    gnutls_datum_t der{};
    if (gnutls_pkcs11_obj_export2(list[i], &der) >= 0) {
      Result<Certificate> certificate =
          Certificate::fromDer(std::string_view(reinterpret_cast<char*>(der.data), der.size));
      gnutls_free(der.data);
      unsigned char id[128];
      std::size_t idSize = sizeof id;
      if (certificate.ok() &&
          gnutls_pkcs11_obj_get_info(list[i], GNUTLS_PKCS11_OBJ_ID, id, &idSize) >= 0) {
        certificates.push_back(TokenCertificate{std::string(reinterpret_cast<char*>(id), idSize),
                                                std::move(certificate.value)});
      }
    }
    gnutls_pkcs11_obj_deinit(list[i]);
  }
  gnutls_free(list);
  return certificates;
}

PrivateKey& PrivateKey::operator=(PrivateKey&& other) noexcept {
  if (this != &other) {
    if (key_ != nullptr) gnutls_privkey_deinit(key_);
    key_ = other.key_;
    other.key_ = nullptr;
  }
  return *this;
}

PrivateKey::~PrivateKey() {
  if (key_ != nullptr) gnutls_privkey_deinit(key_);
}

ErrorCode Login::login(const Token& token, const std::string& pin) {
  logout();
  void* pointer = nullptr;
  unsigned long slot = 0;
  if (gnutls_pkcs11_token_get_ptr(token.url.c_str(), &pointer, &slot, 0) < 0) {
    return kErrTokenRemoved;
  }
  auto* functions = static_cast<CK_FUNCTION_LIST*>(pointer);
  CK_SESSION_HANDLE session = 0;
  CK_RV rv = functions->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
  if (rv != CKR_OK) return tokenGone(rv) ? kErrTokenRemoved : kErrToken;
  // An earlier login of this process (another page's) must not let an unchecked PIN pass.
  functions->C_Logout(session);
  Secret copy(pin);
  rv = functions->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(copy.get().data()),
                          static_cast<CK_ULONG>(copy.get().size()));
  if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
    functions->C_CloseSession(session);
    switch (rv) {
      case CKR_PIN_INCORRECT: {
        unsigned flags = tokenFlags(token.url);
        if (flags & GNUTLS_PKCS11_TOKEN_USER_PIN_LOCKED) return kErrPinLocked;
        if (flags & GNUTLS_PKCS11_TOKEN_USER_PIN_FINAL_TRY) return kErrPinFinalTry;
        return kErrPinIncorrect;
      }
      case CKR_PIN_LOCKED:
        return kErrPinLocked;
      case CKR_PIN_LEN_RANGE:
        return kErrPinLength;
      default:
        return tokenGone(rv) ? kErrTokenRemoved : kErrToken;
    }
  }
  functions_ = functions;
  slot_ = slot;
  session_ = session;
  tokenUrl_ = token.url;
  pin_ = std::move(copy);
  return kOk;
}

void Login::logout() {
  if (session_ != 0) {
    auto* functions = static_cast<CK_FUNCTION_LIST*>(functions_);
    functions->C_Logout(session_);
    functions->C_CloseSession(session_);
  }
  functions_ = nullptr;
  session_ = 0;
  slot_ = 0;
  tokenUrl_.clear();
  pin_.clear();
}

int Login::pinCallback(void* login, int attempt, const char*, const char*, unsigned flags,
                       char* pin, std::size_t pinMax) {
  // One try only: a PIN that was right a moment ago and is refused now must not be replayed
  // until the token locks.
  auto* self = static_cast<Login*>(login);
  if (attempt != 0 || (flags & GNUTLS_PIN_WRONG) != 0 || self->pin_.empty()) return -1;
  const std::string& text = self->pin_.get();
  if (text.size() + 1 > pinMax) return -1;
  std::memcpy(pin, text.c_str(), text.size() + 1);
  return 0;
}

Result<PrivateKey> Login::privateKey(const TokenCertificate& certificate) {
  if (!loggedIn()) return kErrNotLoggedIn;
  gnutls_privkey_t key = nullptr;
  if (gnutls_privkey_init(&key) < 0) return kErrInternal;
  PrivateKey owner(key);
  gnutls_privkey_set_pin_function(key, &Login::pinCallback, this);
  std::string url = tokenUrl_ + ";id=" + percentEncoded(certificate.id) + ";type=private";
  int status = gnutls_privkey_import_url(key, url.c_str(), 0);
  if (status < 0) {
    if (status == GNUTLS_E_PKCS11_TOKEN_ERROR || status == GNUTLS_E_PKCS11_DEVICE_ERROR) {
      return kErrTokenRemoved;
    }
    return kErrNoKey;
  }
  return owner;
}

}  // namespace qm::component

namespace qm::component {

Result<std::vector<std::string>> attributeCertificates(const std::string& tokenUrl) {
  void* pointer = nullptr;
  unsigned long slot = 0;
  if (gnutls_pkcs11_token_get_ptr(tokenUrl.c_str(), &pointer, &slot, 0) < 0) {
    return kErrTokenRemoved;
  }
  auto* functions = static_cast<CK_FUNCTION_LIST*>(pointer);
  CK_SESSION_HANDLE session = 0;
  CK_RV rv = functions->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
  if (rv != CKR_OK) return tokenGone(rv) ? kErrTokenRemoved : kErrToken;
  CK_OBJECT_CLASS objectClass = CKO_CERTIFICATE;
  CK_CERTIFICATE_TYPE type = CKC_X_509_ATTR_CERT;
  CK_ATTRIBUTE search[] = {{CKA_CLASS, &objectClass, sizeof objectClass},
                           {CKA_CERTIFICATE_TYPE, &type, sizeof type}};
  std::vector<std::string> found;
  ErrorCode error = kOk;
  if (functions->C_FindObjectsInit(session, search, 2) == CKR_OK) {
    CK_OBJECT_HANDLE objects[16];
    CK_ULONG count = 0;
    while (functions->C_FindObjects(session, objects, 16, &count) == CKR_OK && count > 0) {
      for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE value = {CKA_VALUE, nullptr, 0};
        if (functions->C_GetAttributeValue(session, objects[i], &value, 1) != CKR_OK ||
            value.ulValueLen == CK_UNAVAILABLE_INFORMATION || value.ulValueLen > kMaxDataBytes) {
          continue;
        }
        std::string bytes(value.ulValueLen, '\0');
        value.pValue = bytes.data();
        if (functions->C_GetAttributeValue(session, objects[i], &value, 1) == CKR_OK) {
          bytes.resize(value.ulValueLen);
          found.push_back(std::move(bytes));
        }
      }
    }
    functions->C_FindObjectsFinal(session);
  } else {
    error = kErrToken;
  }
  functions->C_CloseSession(session);
  if (error != kOk) return error;
  return found;
}

}  // namespace qm::component
