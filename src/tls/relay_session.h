// One client's session, run in a process of its own: the TLS handshake
// against a deadline, one status line to the daemon, then the copying
// between the client and the daemon's plain end until both are done.
#pragma once

#include <openssl/ssl.h>

#include <chrono>

namespace vornd_tls {

struct SessionSockets {
  int client;  // the accepted TCP connection
  int inner;   // the relay's end of the stream the daemon reads as plain
};

// Returns when the session is over, with both descriptors closed.
void runSession(SSL_CTX* context, SessionSockets sockets,
                std::chrono::steady_clock::time_point handshakeDeadline, int handshakeSeconds);

}  // namespace vornd_tls
