#include "session/net_login.h"

#include <cstring>

std::string netLogin::text(std::size_t offset, std::size_t size) const {
  const char* start = bytes + offset;
  const void* zero = std::memchr(start, '\0', size);
  return std::string(start, zero != nullptr ? static_cast<const char*>(zero) - start : size);
}

bool netLogin::startupBeginsWith(const char* command) const {
  const std::size_t length = std::strlen(command);
  return length <= kStartupSize && std::memcmp(bytes + kStartup, command, length) == 0;
}
