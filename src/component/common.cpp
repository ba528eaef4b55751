#include "component/common.h"

#include <gnutls/gnutls.h>

namespace qm::component {

void wipe(void* data, std::size_t size) {
  if (data != nullptr && size > 0) gnutls_memset(data, 0, size);
}

std::string base64Encode(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  for (; i + 3 <= bytes.size(); i += 3) {
    unsigned value = (at(i) << 16) | (at(i + 1) << 8) | at(i + 2);
    out += kAlphabet[(value >> 18) & 63];
    out += kAlphabet[(value >> 12) & 63];
    out += kAlphabet[(value >> 6) & 63];
    out += kAlphabet[value & 63];
  }
  if (std::size_t rest = bytes.size() - i; rest > 0) {
    unsigned value = at(i) << 16;
    if (rest == 2) value |= at(i + 1) << 8;
    out += kAlphabet[(value >> 18) & 63];
    out += kAlphabet[(value >> 12) & 63];
    out += rest == 2 ? kAlphabet[(value >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

Result<std::string> base64Decode(std::string_view text, std::size_t limit) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  if (text.size() / 4 * 3 > limit + 3) return kErrTooLarge;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  unsigned buffer = 0;
  int bits = 0, symbols = 0, padding = 0;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (c == '=') {
      ++padding;
      ++symbols;
      continue;
    }
    int v = value(c);
    if (v < 0 || padding > 0) return kErrNotBase64;  // stray character or data after padding
    ++symbols;
    buffer = (buffer << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((buffer >> bits) & 0xFF);
    }
  }
  if (symbols % 4 != 0 || padding > 2) return kErrNotBase64;
  if (out.size() > limit) return kErrTooLarge;
  return out;
}

std::string hexUpper(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

}  // namespace qm::component
