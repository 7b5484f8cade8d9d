// A loopback port nobody listens on right now, for a daemon under test to
// bind (port 0 is no port to the daemon).
#pragma once

#include <cstdint>

#include "platform/net.h"

namespace testing_support {

inline std::uint16_t freePort() {
  platform::startSockets();
  const platform::SocketHandle probe = platform::createTcpSocket();
  platform::Ipv4Endpoint any;
  std::uint16_t port = 0;
  if (platform::bindSocket(probe, any)) port = platform::localPort(probe);
  platform::closeSocket(probe);
  platform::cleanupSockets();
  return port;
}

}  // namespace testing_support
