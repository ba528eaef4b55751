// Text cipher: AES-256-CBC with PKCS#7 padding over a marked text. The marker prefix lets the
// decrypting side tell a text enciphered here from other plain text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace qm::aes {

inline constexpr std::size_t kKeySize = 32;
inline constexpr std::size_t kIvSize = 16;
inline constexpr std::size_t kBlockSize = 16;
inline constexpr char kPrefix[] = "QuillmarkAESCBC";

// Error codes of the cipher layer, logged on failure.
inline constexpr int kInvalidPadding = 64;
inline constexpr int kNotWholeBlocks = 65;

// Overwrites memory in a way the compiler keeps.
void wipe(void* data, std::size_t size);
// Overwrites the text's bytes and empties it.
void wipe(std::string& text);

// Enciphers prefix + text + its terminating zero byte: 16 * ((16 + strlen(text)) / 16 + 1)
// bytes. key: kKeySize bytes, iv: kIvSize bytes. nullopt for a null argument.
std::optional<std::string> encryptText(const char* text, const unsigned char* key,
                                       const unsigned char* iv);

// Deciphers length bytes into a text (up to its first NUL), the prefix removed when present.
// nullopt for a null argument, a length that is not a positive multiple of 16 (code 65) or bad
// padding (code 64).
std::optional<std::string> decryptText(const void* cipher, std::size_t length,
                                       const unsigned char* key, const unsigned char* iv);

}  // namespace qm::aes
