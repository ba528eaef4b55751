// Loopback socket addresses for the HTTPS listeners and the peers they see. Address families
// use the system's own numbering: 2 for IPv4, 23 for IPv6.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace qm::platform {

inline constexpr int kFamilyIpv4 = 2;
inline constexpr int kFamilyIpv6 = 23;

// A socket address held by value; data() is what the web library takes as a socket address.
class SocketAddress {
 public:
  static SocketAddress loopbackIpv4(std::uint16_t port);  // 127.0.0.1
  static SocketAddress loopbackIpv6(std::uint16_t port);  // ::1

  int family() const { return family_; }
  std::uint16_t port() const { return port_; }
  const void* data() const { return storage_.data(); }
  std::size_t size() const { return size_; }

 private:
  SocketAddress() = default;
  alignas(8) std::array<unsigned char, 128> storage_{};
  std::size_t size_ = 0;
  int family_ = 0;
  std::uint16_t port_ = 0;
};

// The four bytes of an IPv4 socket address; nullopt for another family or a short address.
std::optional<std::array<std::uint8_t, 4>> ipv4Bytes(const void* address, std::size_t length);

}  // namespace qm::platform
