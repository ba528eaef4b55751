#include "platform/socket_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace qm::platform {

static_assert(sizeof(sockaddr_in6) <= 128);

SocketAddress SocketAddress::loopbackIpv4(std::uint16_t port) {
  SocketAddress result;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::memcpy(result.storage_.data(), &address, sizeof address);
  result.size_ = sizeof address;
  result.family_ = kFamilyIpv4;
  result.port_ = port;
  return result;
}

SocketAddress SocketAddress::loopbackIpv6(std::uint16_t port) {
  SocketAddress result;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(port);
  address.sin6_addr = in6addr_loopback;
  std::memcpy(result.storage_.data(), &address, sizeof address);
  result.size_ = sizeof address;
  result.family_ = kFamilyIpv6;
  result.port_ = port;
  return result;
}

std::optional<std::array<std::uint8_t, 4>> ipv4Bytes(const void* address, std::size_t length) {
  if (address == nullptr || length < sizeof(sockaddr_in)) return std::nullopt;
  sockaddr_in peer;
  std::memcpy(&peer, address, sizeof peer);
  if (peer.sin_family != AF_INET) return std::nullopt;
  std::array<std::uint8_t, 4> bytes;
  std::memcpy(bytes.data(), &peer.sin_addr.s_addr, 4);  // network order: first byte first
  return bytes;
}

}  // namespace qm::platform
