// The benchmark's TLS client (tls_load.cpp).
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <string>
#include <unistd.h>

#include "login_load.h"

namespace bench {

// A TCP connection and a completed handshake, or nothing; from
// 127.0.0.<client % 250 + 1> as the clear clients are.
struct TlsConnection {
  int fd = -1;
  SSL* ssl = nullptr;
  Outcome failure = Outcome::ConnectFailed;
  void close() {
    if (ssl != nullptr) SSL_free(ssl);
    if (fd >= 0) ::close(fd);
    ssl = nullptr;
    fd = -1;
  }
};

// What a real client sets up once: TLS 1.3, the CA to verify against, the
// address the certificate must name. Null when it cannot be had.
SSL_CTX* clientContext(const std::string& caFile);
// A connection from client's address and its handshake, done by the
// deadline or failed (then `failure` says how).
TlsConnection handshake(SSL_CTX* context, int port, int client, bool noDelay,
                        std::chrono::steady_clock::time_point deadline);
// One login over TLS: the handshake, the record, the reply, the end.
Login tlsLogin(SSL_CTX* context, int port, int client, bool noDelay);
// clients threads, each repeating tlsLogin for seconds.
LoadResult runTlsLoad(const std::string& caFile, int port, int clients, double seconds,
                      bool noDelay);

}  // namespace bench
