// The TLS relay: a helper process, the only one that holds TLS code, that
// takes each TLS connection of the instance and hands the daemon a clear
// stream in its place.
//
// The daemon starts it once, with the certificate, the key and the client
// CA; it reads them, gives up root and says whether it is ready. Each TLS
// connection then goes to it whole: the relay makes the handshake within
// the bound it was given and copies both ways, while the daemon reads and
// writes the clear end as it does a clear connection. The clear stream
// begins with one line from the relay, before any of the client's bytes:
//
//   ok <protocol> <cipher>[ <client certificate subject>]
//   fail <reason>
//
// A relay whose daemon ends goes on serving the sessions it has; each
// session ends with the first of its two sides.
//
// POSIX: `vornd-tls` beside the daemon's executable, a master that forks
// one process per session. Windows: there is no TLS in this build, and the
// relay never starts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/net.h"

namespace platform {

struct TlsRelaySettings {
  std::string certificateFile;
  std::string keyFile;
  std::string clientCaFile;  // empty: no client certificate asked for
  std::uint32_t handshakeSeconds = 5;
};

struct TlsRelayImpl;
using TlsRelay = TlsRelayImpl*;

// Null when the relay is not ready; `reason` then says why in the relay's
// own words (the file and the library's reason) or the system's. What the
// relay warns of on the way (an account it falls back on) is appended to
// `warnings` either way.
TlsRelay startTlsRelay(const TlsRelaySettings& settings, std::string& reason,
                       std::vector<std::string>& warnings);
// Lets the relay go: it takes no more connections, and the sessions it
// has go on.
void stopTlsRelay(TlsRelay relay);
// Gives an accepted connection to the relay. The connection is the
// relay's from then on (closed here whatever happens); the result is the
// daemon's end of its clear stream, or kInvalidSocket with the socket
// error set.
SocketHandle relayConnection(TlsRelay relay, SocketHandle accepted);

// What would keep the relay from starting with these files, as the relay
// itself finds it (POSIX: `vornd-tls --check`): for each file the reason
// it does not load, in the system's or the library's words and without
// its path, "" when it loads; and what stands in the way of the account
// it runs as. `unavailable` says why nothing could be checked (no relay,
// or none that answered; Windows: no TLS in this build), and the rest is
// then empty.
struct TlsFileCheck {
  std::string certificate;
  std::string key;
  std::string clientCa;
  std::vector<std::string> account;
  std::string unavailable;
};
TlsFileCheck checkTlsFiles(const TlsRelaySettings& settings);

// The TLS library's version as the relay reports it (`vornd-tls
// --version`, first line): empty where there is no relay or it did not
// answer.
std::string tlsLibraryVersion();

}  // namespace platform
