#include "util/aes_text.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "util/diag.h"
#include "util/tool.h"

namespace qm::aes {

namespace {

constexpr std::size_t kPrefixLength = sizeof kPrefix - 1;

// The cipher handle, released on every path.
class Cipher {
 public:
  Cipher(const unsigned char* key, const unsigned char* iv) {
    gnutls_datum_t keyDatum{const_cast<unsigned char*>(key), kKeySize};
    gnutls_datum_t ivDatum{const_cast<unsigned char*>(iv), kIvSize};
    if (gnutls_cipher_init(&handle_, GNUTLS_CIPHER_AES_256_CBC, &keyDatum, &ivDatum) < 0) {
      handle_ = nullptr;
    }
  }
  ~Cipher() {
    if (handle_) gnutls_cipher_deinit(handle_);
  }
  Cipher(const Cipher&) = delete;
  Cipher& operator=(const Cipher&) = delete;

  bool encrypt(const void* in, std::size_t size, void* out) {
    return handle_ && gnutls_cipher_encrypt2(handle_, in, size, out, size) == 0;
  }
  bool decrypt(const void* in, std::size_t size, void* out) {
    return handle_ && gnutls_cipher_decrypt2(handle_, in, size, out, size) == 0;
  }

 private:
  gnutls_cipher_hd_t handle_ = nullptr;
};

void logFailure(int code, int line) {
  char text[128];
  std::snprintf(text, sizeof text, "Error code %d = 0x%X at %d line in %s", code,
                static_cast<unsigned>(code), line, __FILE_NAME__);
  diag::warning("", text);
}

}  // namespace

void wipe(void* data, std::size_t size) {
  if (data && size > 0) gnutls_memset(data, 0, size);
}

void wipe(std::string& text) {
  wipe(text.data(), text.size());
  text.clear();
}

std::optional<std::string> encryptText(const char* text, const unsigned char* key,
                                       const unsigned char* iv) {
  if (!text) {
    QM_NULL_PARAMETER("inputText");
    return std::nullopt;
  }
  if (!key || !iv) {
    QM_NULL_PARAMETER(!key ? "inputKey" : "inputIV");
    return std::nullopt;
  }
  std::size_t textLength = std::strlen(text);
  // Prefix, text and its zero byte, then 1 to 16 bytes of padding.
  std::size_t plainLength = kPrefixLength + textLength + 1;
  std::size_t cipherLength = (plainLength / kBlockSize + 1) * kBlockSize;
  std::string plain;
  std::string cipher;
  try {
    plain.resize(cipherLength);
    cipher.resize(cipherLength);
  } catch (const std::bad_alloc&) {
    QM_ALLOCATION_FAILURE();
    return std::nullopt;
  }
  std::memcpy(plain.data(), kPrefix, kPrefixLength);
  std::memcpy(plain.data() + kPrefixLength, text, textLength + 1);
  unsigned char pad = static_cast<unsigned char>(cipherLength - plainLength);
  std::memset(plain.data() + plainLength, pad, pad);

  bool ok = Cipher(key, iv).encrypt(plain.data(), cipherLength, cipher.data());
  wipe(plain);
  if (!ok) {
    QM_ALLOCATION_FAILURE();
    return std::nullopt;
  }
  return cipher;
}

std::optional<std::string> decryptText(const void* cipher, std::size_t length,
                                       const unsigned char* key, const unsigned char* iv) {
  if (!cipher || !key || !iv) {
    QM_NULL_PARAMETER(!cipher ? "inputText" : !key ? "inputKey" : "inputIV");
    return std::nullopt;
  }
  // The last block is held back for the padding, so an empty text fails like a partial block.
  if (length == 0 || length % kBlockSize != 0) {
    std::printf("p->Buse: %d\n", static_cast<int>(length % kBlockSize));
    std::printf("bufsize: %d\n", static_cast<int>(kBlockSize));
    std::fflush(stdout);
    logFailure(kNotWholeBlocks, __LINE__);
    return std::nullopt;
  }
  std::string plain;
  try {
    plain.resize(length);
  } catch (const std::bad_alloc&) {
    QM_ALLOCATION_FAILURE();
    return std::nullopt;
  }
  if (!Cipher(key, iv).decrypt(cipher, length, plain.data())) {
    wipe(plain);
    QM_ALLOCATION_FAILURE();
    return std::nullopt;
  }
  // PKCS#7: n in 1..16 and the last n bytes all n. A zero byte is no padding at all.
  auto pad = static_cast<unsigned char>(plain[length - 1]);
  bool padOk = pad >= 1 && pad <= kBlockSize;
  for (std::size_t i = 1; padOk && i <= pad; ++i) {
    padOk = static_cast<unsigned char>(plain[length - i]) == pad;
  }
  if (!padOk) {
    wipe(plain);
    logFailure(kInvalidPadding, __LINE__);
    return std::nullopt;
  }
  const void* nul = std::memchr(plain.data(), 0, length - pad);
  std::size_t textLength =
      nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - plain.data()) : length - pad;
  std::optional<std::string> result;
  try {
    if (textLength >= kPrefixLength && std::memcmp(plain.data(), kPrefix, kPrefixLength) == 0) {
      diag::normal("AES: ", "Remove prefix");
      result.emplace(plain.data() + kPrefixLength, textLength - kPrefixLength);
    } else {
      result.emplace(plain.data(), textLength);
    }
  } catch (const std::bad_alloc&) {
    QM_ALLOCATION_FAILURE();
  }
  // Random bytes over the released plain text; zeros when the source fails.
  if (!tool::randomBytes(plain.data(), plain.size())) wipe(plain.data(), plain.size());
  return result;
}

}  // namespace qm::aes
