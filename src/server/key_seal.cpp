#include "server/key_seal.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include <type_traits>
#include <utility>

namespace qm::server {

SecretText::SecretText(std::size_t length)
    : bytes_(std::make_unique<char[]>(length + 1)), size_(length) {}

SecretText::SecretText(SecretText&& other) noexcept
    : bytes_(std::move(other.bytes_)), size_(std::exchange(other.size_, 0)) {}

SecretText& SecretText::operator=(SecretText&& other) noexcept {
  if (this != &other) {
    wipe();
    bytes_ = std::move(other.bytes_);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

SecretText::~SecretText() {
  wipe();
}

void SecretText::wipe() {
  if (bytes_) gnutls_memset(bytes_.get(), 0, size_ + 1);
}

namespace {

constexpr char kSealPhrase[] = "KVLQuillmark loopback server key seal 1";
constexpr std::size_t kTagSize = 16;

struct CipherDeleter {
  void operator()(gnutls_aead_cipher_hd_t handle) const { gnutls_aead_cipher_deinit(handle); }
};
using Cipher = std::unique_ptr<std::remove_pointer_t<gnutls_aead_cipher_hd_t>, CipherDeleter>;

Cipher openCipher() {
  unsigned char key[32];
  if (gnutls_hash_fast(GNUTLS_DIG_SHA256, kSealPhrase, sizeof kSealPhrase - 1, key) != 0) {
    return nullptr;
  }
  gnutls_datum_t datum{key, sizeof key};
  gnutls_aead_cipher_hd_t handle = nullptr;
  const int rc = gnutls_aead_cipher_init(&handle, GNUTLS_CIPHER_AES_256_GCM, &datum);
  gnutls_memset(key, 0, sizeof key);
  return rc == 0 ? Cipher(handle) : nullptr;
}

}  // namespace

std::vector<unsigned char> sealText(std::string_view text, SealNonce nonce) {
  Cipher cipher = openCipher();
  if (!cipher) return {};
  std::vector<unsigned char> sealed(text.size() + kTagSize);
  std::size_t sealedSize = sealed.size();
  if (gnutls_aead_cipher_encrypt(cipher.get(), nonce.data(), nonce.size(), nullptr, 0, kTagSize,
                                 text.data(), text.size(), sealed.data(), &sealedSize) != 0) {
    return {};
  }
  sealed.resize(sealedSize);
  return sealed;
}

std::optional<SecretText> unsealText(std::span<const unsigned char> sealed, SealNonce nonce) {
  if (sealed.size() <= kTagSize) return std::nullopt;
  Cipher cipher = openCipher();
  if (!cipher) return std::nullopt;
  SecretText text(sealed.size() - kTagSize);
  std::size_t textSize = text.size();
  if (gnutls_aead_cipher_decrypt(cipher.get(), nonce.data(), nonce.size(), nullptr, 0, kTagSize,
                                 sealed.data(), sealed.size(), text.data(), &textSize) != 0 ||
      textSize != text.size()) {
    return std::nullopt;  // the destructor wipes whatever was written
  }
  return text;
}

}  // namespace qm::server
