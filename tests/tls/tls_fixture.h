// A relay master started on the test certificates, and the per-process
// certificates themselves.
#pragma once

#include <gtest/gtest.h>

#include "relay_harness.h"
#include "test_pki.h"

namespace tls_testing {

inline const TestPki& testPki() {
  static const TestPki pki = TestPki::make();
  return pki;
}

inline std::vector<std::string> relayArguments(int handshakeSeconds, bool askClientCert = false) {
  const TestPki& pki = testPki();
  std::vector<std::string> arguments{"--cert", pki.serverCert, "--key", pki.serverKey,
                                     "--handshake-seconds", std::to_string(handshakeSeconds)};
  if (askClientCert) {
    arguments.push_back("--client-ca");
    arguments.push_back(pki.caCert);
  }
  return arguments;
}

inline std::string readExactly(int fd, std::size_t size) {
  std::string bytes;
  char buffer[16384];
  while (bytes.size() < size) {
    const ssize_t got = ::recv(fd, buffer, std::min(sizeof buffer, size - bytes.size()), 0);
    if (got <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  return bytes;
}

// One established session: handed to the relay, handshake done, status
// line read.
struct LiveSession {
  HandedSession sockets;
  std::unique_ptr<TlsClient> client;
  std::string status;
};

inline std::optional<LiveSession> startSession(RelayMaster& master, const Listener& listener,
                                               const ClientSettings& settings = {}) {
  std::optional<HandedSession> handed = handSession(master, listener);
  if (!handed) return std::nullopt;
  LiveSession session{std::move(*handed), nullptr, {}};
  session.client =
      std::make_unique<TlsClient>(testPki().caCert, settings, session.sockets.client.get());
  if (!session.client->handshake()) return std::nullopt;
  std::optional<std::string> status = readLine(session.sockets.inner.get());
  if (!status) return std::nullopt;
  session.status = *status;
  return session;
}

// A short exchange both ways: what a working session does.
inline void expectRelays(LiveSession& session, const std::string& tag) {
  ASSERT_TRUE(session.client->write("from client " + tag));
  EXPECT_EQ(readExactly(session.sockets.inner.get(), 12 + tag.size()), "from client " + tag);
  ASSERT_TRUE(writeAll(session.sockets.inner.get(), "from daemon " + tag));
  EXPECT_EQ(session.client->read(12 + tag.size()), "from daemon " + tag);
}

class RelayTest : public ::testing::Test {
 protected:
  void startMaster(int handshakeSeconds, bool askClientCert = false) {
    master = std::make_unique<RelayMaster>(relayArguments(handshakeSeconds, askClientCert));
    ASSERT_GT(master->pid(), 0);
    ASSERT_TRUE(master->waitReady());
    ASSERT_TRUE(listener.ok());
  }

  Listener listener;
  std::unique_ptr<RelayMaster> master;
};

}  // namespace tls_testing
