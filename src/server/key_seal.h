// Wiping text buffers and the sealed form in which the server's private keys are stored.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace qm::server {

// A NUL-terminated text that overwrites itself when wiped and when destroyed.
class SecretText {
 public:
  SecretText() = default;
  // Room for `length` characters and the terminating NUL, all zero. Throws std::bad_alloc.
  explicit SecretText(std::size_t length);
  SecretText(SecretText&& other) noexcept;
  SecretText& operator=(SecretText&& other) noexcept;
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;
  ~SecretText();

  char* data() { return bytes_.get(); }
  const char* c_str() const { return bytes_.get(); }
  // Characters before the terminating NUL.
  std::size_t size() const { return size_; }
  // Zeroes every byte; the buffer stays allocated (and readable) until destruction.
  void wipe();

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t size_ = 0;
};

inline constexpr std::size_t kSealNonceSize = 12;
using SealNonce = std::span<const unsigned char, kSealNonceSize>;

// Sealing keeps the server keys out of reach of casual scanning of the program file and the
// repository. It is obfuscation, not secrecy: a loopback server's key ships with the program, and
// the sealing key below is built in too. AES-256-GCM, so a damaged blob fails instead of
// producing a wrong key. Empty on failure.
std::vector<unsigned char> sealText(std::string_view text, SealNonce nonce);
std::optional<SecretText> unsealText(std::span<const unsigned char> sealed, SealNonce nonce);

}  // namespace qm::server
