#include "platform/tls_relay.h"

#include <winsock2.h>

namespace platform {

// This build carries no TLS library: an instance that asks for TLS serves
// nothing rather than serve in clear.
TlsRelay startTlsRelay(const TlsRelaySettings&, std::string& reason, std::vector<std::string>&) {
  reason = "this build of vornd has no TLS";
  return nullptr;
}

void stopTlsRelay(TlsRelay) {}

std::string tlsLibraryVersion() { return std::string(); }

TlsFileCheck checkTlsFiles(const TlsRelaySettings&) {
  TlsFileCheck check;
  check.unavailable = "this build of vornd has no TLS";
  return check;
}

SocketHandle relayConnection(TlsRelay, SocketHandle accepted) {
  closesocket(static_cast<SOCKET>(accepted));
  WSASetLastError(WSAEOPNOTSUPP);
  return kInvalidSocket;
}

}  // namespace platform
