// Tokens through GnuTLS's PKCS#11 layer: every module registered with p11-kit (or the one module
// named by QUILLMARK_PKCS11_MODULE), the certificates on them, and one instance's login.
#pragma once

#include <gnutls/abstract.h>

#include <string>
#include <vector>

#include "component/certificate.h"
#include "component/common.h"

namespace qm::component {

// Loads the PKCS#11 modules once per process; false when that failed.
bool pkcs11Ready();

struct Token {
  std::string url;  // PKCS#11 URI of the token
  std::string label;
  std::string serial;
  unsigned flags = 0;  // GNUTLS_PKCS11_TOKEN_*
};

// Initialised tokens holding user objects, in module and slot order (trust stores left out).
std::vector<Token> presentTokens();
// The token's current PIN flags; 0 when it cannot be asked.
unsigned tokenFlags(const std::string& tokenUrl);

struct TokenCertificate {
  std::string id;  // CKA_ID, the link to the private key
  Certificate certificate;
};
// kErrToken when the token does not answer.
Result<std::vector<TokenCertificate>> tokenCertificates(const std::string& tokenUrl);

// An owned private key handle.
class PrivateKey {
 public:
  PrivateKey() = default;
  explicit PrivateKey(gnutls_privkey_t key) : key_(key) {}
  PrivateKey(PrivateKey&& other) noexcept : key_(other.key_) { other.key_ = nullptr; }
  PrivateKey& operator=(PrivateKey&& other) noexcept;
  PrivateKey(const PrivateKey&) = delete;
  PrivateKey& operator=(const PrivateKey&) = delete;
  ~PrivateKey();
  gnutls_privkey_t get() const { return key_; }

 private:
  gnutls_privkey_t key_ = nullptr;
};

// One component instance's login on one token. The PKCS#11 login state belongs to the whole
// process, so this keeps the PIN (wiped on logout) to log in again when another instance logged
// the token out, and answers "logged in" only for its own successful login.
class Login {
 public:
  Login() = default;
  Login(const Login&) = delete;
  Login& operator=(const Login&) = delete;
  ~Login() { logout(); }

  // Checks the PIN on the token for real (any earlier login of the process is ended first).
  // kErrPinIncorrect / kErrPinFinalTry / kErrPinLocked / kErrPinLength / kErrTokenRemoved /
  // kErrToken. A failure leaves this logged out.
  ErrorCode login(const Token& token, const std::string& pin);
  void logout();
  bool loggedIn() const { return session_ != 0; }
  const std::string& tokenUrl() const { return tokenUrl_; }

  // The private key that belongs to a certificate on the logged-in token.
  Result<PrivateKey> privateKey(const TokenCertificate& certificate);

 private:
  static int pinCallback(void* login, int attempt, const char* tokenUrl, const char* tokenLabel,
                         unsigned flags, char* pin, std::size_t pinMax);

  void* functions_ = nullptr;  // CK_FUNCTION_LIST of the module GnuTLS loaded
  unsigned long slot_ = 0;
  unsigned long session_ = 0;  // kept open so the login outlives GnuTLS's short sessions
  std::string tokenUrl_;
  Secret pin_;
};

}  // namespace qm::component

namespace qm::component {

// DER of the attribute certificates (CKC_X_509_ATTR_CERT) on the token; private ones only show
// while the process is logged in.
Result<std::vector<std::string>> attributeCertificates(const std::string& tokenUrl);

}  // namespace qm::component
