// Small pieces every part of the component shares: results with an error value, wiped texts,
// Base64.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "component/errors.h"

namespace qm::component {

// A value or the error that prevented it.
template <class T>
struct Result {
  ErrorCode error = kOk;
  T value{};

  Result(ErrorCode code) : error(code) {}         // NOLINT: errors convert implicitly
  Result(T result) : value(std::move(result)) {}  // NOLINT: so do values
  bool ok() const { return error == kOk; }
};

// Overwrites memory in a way the compiler keeps.
void wipe(void* data, std::size_t size);

// A text that may hold a secret (PIN, plaintext, key); zero-filled when it goes away.
class Secret {
 public:
  Secret() = default;
  explicit Secret(std::string text) : text_(std::move(text)) {}
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  Secret(Secret&& other) noexcept : text_(std::move(other.text_)) { other.clear(); }
  Secret& operator=(Secret&& other) noexcept {
    if (this != &other) {
      clear();
      text_ = std::move(other.text_);
      other.clear();
    }
    return *this;
  }
  ~Secret() { clear(); }

  void clear() {
    wipe(text_.data(), text_.capacity());
    text_.clear();
  }
  std::string& get() { return text_; }
  const std::string& get() const { return text_; }
  bool empty() const { return text_.empty(); }

 private:
  std::string text_;
};

// Limits on what pages may hand over.
inline constexpr std::size_t kMaxCertificateBytes = 64 * 1024;
inline constexpr std::size_t kMaxDataBytes = 16 * 1024 * 1024;

std::string base64Encode(std::string_view bytes);
// Strict Base64 (white space ignored, padding required); kErrNotBase64 when malformed,
// kErrTooLarge beyond `limit` decoded bytes.
Result<std::string> base64Decode(std::string_view text, std::size_t limit = kMaxDataBytes);
std::string hexUpper(std::string_view bytes);

}  // namespace qm::component
