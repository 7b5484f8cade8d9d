// A client's or a listener's address, IPv4 or IPv6, as the core keeps it:
// the bytes in network order whatever the system, so that its text, its
// hash and its prefixes are the same on every platform.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace platform {

enum class AddressFamily : std::uint8_t { IPv4, IPv6 };

struct NetAddress {
  AddressFamily family = AddressFamily::IPv4;
  // IPv4: the first four bytes; IPv6: all sixteen. Network byte order.
  std::array<std::uint8_t, 16> bytes{};

  // From an IPv4 address in host byte order (127.0.0.1 is 0x7F000001).
  static NetAddress ipv4(std::uint32_t hostOrder) {
    NetAddress address;
    address.bytes[0] = static_cast<std::uint8_t>(hostOrder >> 24);
    address.bytes[1] = static_cast<std::uint8_t>(hostOrder >> 16);
    address.bytes[2] = static_cast<std::uint8_t>(hostOrder >> 8);
    address.bytes[3] = static_cast<std::uint8_t>(hostOrder);
    return address;
  }
  static NetAddress ipv6(const std::array<std::uint8_t, 16>& bytes) {
    NetAddress address;
    address.family = AddressFamily::IPv6;
    address.bytes = bytes;
    return address;
  }

  bool isIpv4() const { return family == AddressFamily::IPv4; }
  bool isIpv6() const { return family == AddressFamily::IPv6; }
  // The IPv4 address in host byte order; 0 for IPv6.
  std::uint32_t ipv4HostOrder() const {
    if (!isIpv4()) return 0;
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
  }
  // Every address of its family (0.0.0.0, ::).
  bool isAny() const {
    const std::size_t size = isIpv4() ? 4 : 16;
    for (std::size_t i = 0; i < size; ++i) {
      if (bytes[i] != 0) return false;
    }
    return true;
  }
  // ::ffff:a.b.c.d, an IPv4 address on an IPv6 socket.
  bool isV4Mapped() const {
    if (!isIpv6()) return false;
    for (std::size_t i = 0; i < 10; ++i) {
      if (bytes[i] != 0) return false;
    }
    return bytes[10] == 0xFF && bytes[11] == 0xFF;
  }
  // The IPv4 address an IPv4-mapped one stands for; any other as it is.
  NetAddress unmapped() const {
    if (!isV4Mapped()) return *this;
    NetAddress address;
    for (std::size_t i = 0; i < 4; ++i) address.bytes[i] = bytes[12 + i];
    return address;
  }

  // By family, then byte by byte: an order for "the lowest address".
  friend auto operator<=>(const NetAddress&, const NetAddress&) = default;
};

// An address and a port (host byte order).
struct Endpoint {
  NetAddress address;
  std::uint16_t port = 0;

  friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

}  // namespace platform

template <>
struct std::hash<platform::NetAddress> {
  std::size_t operator()(const platform::NetAddress& address) const noexcept {
    // FNV-1a over the family and the bytes that count.
    std::uint64_t hash = 1469598103934665603ull;
    const auto mix = [&hash](std::uint8_t byte) {
      hash ^= byte;
      hash *= 1099511628211ull;
    };
    mix(static_cast<std::uint8_t>(address.family));
    const std::size_t size = address.isIpv4() ? 4 : 16;
    for (std::size_t i = 0; i < size; ++i) mix(address.bytes[i]);
    return static_cast<std::size_t>(hash);
  }
};
