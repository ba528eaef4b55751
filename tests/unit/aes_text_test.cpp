#include "util/aes_text.h"

#include <gnutls/crypto.h>

#include <cstring>

#include <gtest/gtest.h>

namespace qm::aes {
namespace {

const unsigned char kKey[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const unsigned char kIv[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                               0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};

// Raw AES-256-CBC without any padding, to look inside what the cipher produced.
std::string rawCbc(std::string data, bool encrypt) {
  gnutls_cipher_hd_t handle;
  gnutls_datum_t key{const_cast<unsigned char*>(kKey), 32};
  gnutls_datum_t iv{const_cast<unsigned char*>(kIv), 16};
  EXPECT_EQ(gnutls_cipher_init(&handle, GNUTLS_CIPHER_AES_256_CBC, &key, &iv), 0);
  std::string out(data.size(), '\0');
  if (encrypt) {
    gnutls_cipher_encrypt2(handle, data.data(), data.size(), out.data(), out.size());
  } else {
    gnutls_cipher_decrypt2(handle, data.data(), data.size(), out.data(), out.size());
  }
  gnutls_cipher_deinit(handle);
  return out;
}

std::optional<std::string> decrypt(const std::string& cipher) {
  return decryptText(cipher.data(), cipher.size(), kKey, kIv);
}

TEST(AesText, EncryptLayoutAndRoundTrip) {
  struct Case {
    std::string text;
    std::size_t cipherLength;
  };
  const Case cases[] = {
      {"", 32},  // prefix and zero byte fill one block; padding adds one
      {"a", 32},
      {std::string(15, 'x'), 32},
      {std::string(16, 'x'), 48},
      {"Grüße, 世界 & <tags>", 48},
      {std::string(1000, 'z'), 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.size());
    auto cipher = encryptText(c.text.c_str(), kKey, kIv);
    ASSERT_TRUE(cipher);
    ASSERT_EQ(cipher->size(), c.cipherLength);
    // Inside: prefix, text, zero byte, then PKCS#7 padding.
    std::string plain = rawCbc(*cipher, false);
    std::string expected = std::string(kPrefix) + c.text + '\0';
    std::size_t pad = c.cipherLength - expected.size();
    expected.append(pad, static_cast<char>(pad));
    EXPECT_EQ(plain, expected);
    EXPECT_EQ(decrypt(*cipher), c.text);
  }
}

TEST(AesText, PartialBlocksFailWithCode65) {
  auto cipher = encryptText("some text of two blocks", kKey, kIv).value();
  struct Case {
    std::size_t length;
    const char* printed;
  };
  const Case cases[] = {
      {0, "p->Buse: 0\nbufsize: 16\n"},
      {15, "p->Buse: 15\nbufsize: 16\n"},
      {31, "p->Buse: 15\nbufsize: 16\n"},
      {47, "p->Buse: 15\nbufsize: 16\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    testing::internal::CaptureStdout();
    EXPECT_EQ(decryptText(cipher.data(), c.length, kKey, kIv), std::nullopt);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
  }
}

TEST(AesText, PaddingChecks) {
  // Flipping the last byte of the first cipher block sets the last padding byte of the second
  // block (0x10 before) to any value (and garbles the first block).
  const std::string cipher = encryptText("", kKey, kIv).value();
  struct Case {
    unsigned char lastByte;
    bool valid;
  };
  const Case cases[] = {
      {0x00, false},  // zero is no valid padding
      {0x11, false},  // more than a block
      {0xFF, false},
      {0x02, false},  // the byte before is 0x10, not 0x02
      {0x10, true},
      {0x01, true},  // one byte of padding: the rest is read as text, up to its zero byte
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.lastByte));
    std::string tampered = cipher;
    tampered[15] = static_cast<char>(tampered[15] ^ 0x10 ^ c.lastByte);
    EXPECT_EQ(decrypt(tampered).has_value(), c.valid);
  }
  // A tampered last block garbles its padding.
  std::string tampered = cipher;
  tampered[31] = static_cast<char>(tampered[31] ^ 0x5A);
  EXPECT_EQ(decrypt(tampered), std::nullopt);
}

TEST(AesText, TextWithoutPrefixComesBackUnchanged) {
  std::string block = "no prefix here";
  block += '\0';
  block += '\x01';  // 16 bytes: 14 of text, the zero byte and one byte of padding
  EXPECT_EQ(decrypt(rawCbc(block, true)), "no prefix here");
  // The prefix is removed once only.
  auto cipher = encryptText("QuillmarkAESCBCinner", kKey, kIv).value();
  EXPECT_EQ(decrypt(cipher), "QuillmarkAESCBCinner");
}

TEST(AesText, NullArguments) {
  auto cipher = encryptText("x", kKey, kIv).value();
  EXPECT_EQ(encryptText(nullptr, kKey, kIv), std::nullopt);
  EXPECT_EQ(encryptText("x", nullptr, kIv), std::nullopt);
  EXPECT_EQ(encryptText("x", kKey, nullptr), std::nullopt);
  EXPECT_EQ(decryptText(nullptr, 16, kKey, kIv), std::nullopt);
  EXPECT_EQ(decryptText(cipher.data(), cipher.size(), nullptr, kIv), std::nullopt);
  EXPECT_EQ(decryptText(cipher.data(), cipher.size(), kKey, nullptr), std::nullopt);
}

}  // namespace
}  // namespace qm::aes
