// A loopback port nobody listens on right now, for a daemon under test to
// bind (port 0 is no port to the daemon).
//
// Taken below the systems' ephemeral ranges (Linux 32768 and up, Windows
// 49152 and up): a port the system handed out for a bind to port 0 can be
// handed out again, to any outgoing connection on the machine, between
// the test's probe and the daemon's bind.
#pragma once

#include <cstdint>
#include <random>

#include "platform/net.h"

namespace testing_support {

inline std::uint16_t freePort() {
  static std::mt19937 pick{std::random_device{}()};
  std::uniform_int_distribution<int> below(10000, 32767);
  platform::startSockets();
  std::uint16_t port = 0;
  for (int attempt = 0; attempt < 100 && port == 0; ++attempt) {
    const platform::SocketHandle probe = platform::createTcpSocket();
    platform::Ipv4Endpoint any;
    any.port = static_cast<std::uint16_t>(below(pick));
    if (platform::bindSocket(probe, any)) port = any.port;
    platform::closeSocket(probe);
  }
  platform::cleanupSockets();
  return port;
}

}  // namespace testing_support
