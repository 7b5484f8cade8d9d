// Whole sends for the tools: a send may take only part of what it is given.
#pragma once

#include <cstddef>

#include "platform/net.h"

namespace tools {

// False when the connection fails before every byte went.
inline bool sendAll(platform::SocketHandle socket, const char* bytes, std::size_t length) {
  while (length > 0) {
    const int sent = platform::sendSocket(socket, bytes, static_cast<int>(length));
    if (sent <= 0) return false;
    bytes += sent;
    length -= static_cast<std::size_t>(sent);
  }
  return true;
}

}  // namespace tools
