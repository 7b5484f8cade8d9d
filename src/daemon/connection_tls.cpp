// The loop's part in TLS: the relay started with the loop, a connection's
// first bytes telling TLS from clear, and the relay's word on each
// handshake before the connection goes on as a clear one.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "daemon/connection_loop.h"
#include "platform/net.h"
#include "platform/socket_wait.h"
#include "session/log_text.h"
#include "session/tls_session.h"

namespace {

// A TLS handshake record: 0x16, then version 3.1 to 3.4 (TLS 1.0 to 1.3
// as record versions).
bool startsLikeTls(const unsigned char* bytes, int count) {
  if (count < 1 || bytes[0] != 0x16) return false;
  if (count >= 2 && bytes[1] != 0x03) return false;
  return count < 3 || (bytes[2] >= 0x01 && bytes[2] <= 0x04);
}

}  // namespace

bool ConnectionLoop::openTls() {
  const std::optional<TlsMode> mode = m_config.tlsMode();
  if (!mode) {
    const std::string text = "SockTLS (" + m_config.SockTLS + ") is none of No, Optional and Required";
    m_host.reportFailure(text.c_str(), platform::kErrorInvalidParameter);
    return false;
  }
  m_tlsMode = *mode;
  if (m_tlsMode == TlsMode::No) return true;
  if (m_config.TLSCertificateFile.empty() || m_config.TLSKeyFile.empty()) {
    const std::string text = "SockTLS is " + m_config.SockTLS +
                             ", but TLSCertificateFile or TLSKeyFile is empty";
    m_host.reportFailure(text.c_str(), platform::kErrorInvalidParameter);
    return false;
  }
  platform::TlsRelaySettings settings;
  settings.certificateFile = m_config.TLSCertificateFile;
  settings.keyFile = m_config.TLSKeyFile;
  settings.clientCaFile = m_config.TLSClientCAFile;
  settings.handshakeSeconds = m_config.receiveBoundSeconds();
  std::string reason;
  std::vector<std::string> warnings;
  m_relay = platform::startTlsRelay(settings, reason, warnings);
  for (const std::string& warning : warnings) m_host.reportWarning("TLS relay: " + warning);
  if (m_relay == nullptr) {
    const std::string text = "TLS could not be set up (" + reason + ")";
    m_host.reportFailure(text.c_str(), platform::kErrorInvalidData);
    return false;
  }
  m_log.entry() << "TLS relay ready, SockTLS " << m_config.SockTLS;
  return true;
}

bool ConnectionLoop::takeTransport(ClientConnection& connection) {
  CSocket& client = *connection.client;
  unsigned char start[3];
  const int got = platform::peekReady(client.Handle(), start, sizeof start);
  if (got < 0 && platform::lastSocketError() == platform::kWsaWouldBlock) return true;
  if (got <= 0) {
    client.Close();
    return false;
  }
  connection.transportKnown = true;
  // What could still be a handshake goes to the relay: were it not one,
  // the relay says so, and a wait for the next byte here would find the
  // socket ready again and again until it came.
  if (!startsLikeTls(start, got)) return progressRecord(connection);

  // Out of the wait before another process holds it.
  platform::unwatchSocket(m_socketWait, client.Handle());
  const platform::SocketHandle clear = platform::relayConnection(m_relay, client.Release());
  if (clear == platform::kInvalidSocket) {
    m_host.reportFailure("Handing a connection to the TLS relay", platform::lastSocketError());
    return false;
  }
  connection.client = std::make_unique<CSocket>(clear);
  if (!platform::watchSocket(m_socketWait, clear)) {
    m_host.reportFailure("WSAEventSelect failed trying to configure client socket",
                         platform::lastSocketError());
    return false;
  }
  connection.stage = ClientConnection::Stage::Relay;
  // The relay gives up at the bound and says so; a moment more here lets
  // its word come first.
  connection.deadline = receiveDeadline() + std::chrono::seconds(1);
  return true;
}

bool ConnectionLoop::progressRelay(ClientConnection& connection) {
  CSocket& client = *connection.client;
  char line[kLongestRelayLine];
  // Looked at first, then taken up to its line break alone: what follows
  // is the client's own, and part of it may belong to the engine.
  const int got = platform::peekReady(client.Handle(), line, sizeof line);
  if (got < 0 && platform::lastSocketError() == platform::kWsaWouldBlock) return true;
  const char* end = got > 0 ? static_cast<const char*>(std::memchr(line, '\n', got)) : nullptr;
  if (end == nullptr && got > 0 && got < static_cast<int>(sizeof line)) return true;
  std::optional<RelayVerdict> verdict;
  if (end != nullptr) {
    const int length = static_cast<int>(end - line) + 1;
    if (platform::receiveReady(client.Handle(), line, length) == length) {
      verdict = parseRelayLine(std::string_view(line, static_cast<std::size_t>(length - 1)));
    }
  }
  m_metrics.tlsHandshake(verdict && verdict->accepted);
  if (!verdict || !verdict->accepted) {
    const std::string reason = verdict ? verdict->reason : "the TLS relay ended the connection";
    // The relay keeps the bound itself, and its word comes first.
    if (reason.rfind(kNoHandshakeInTime, 0) == 0) {
      m_metrics.connectionClosed(DaemonMetrics::Closure::HandshakeTime);
    }
    m_log.entry() << "negotiateLogin - " << reason << " - connection closed";
    m_refusals.write(connection.source, tlsRefusedText(connection.peer, reason));
    client.Close();
    return false;
  }
  if (m_config.LogAllEvents) {
    m_log.entry() << "negotiateLogin - " << verdict->session.protocol << " "
                  << verdict->session.cipher;
  }
  connection.tls = std::move(verdict->session);
  connection.stage = ClientConnection::Stage::Record;
  // The record has its own time from here, as on a clear connection.
  connection.deadline = receiveDeadline();
  return progressRecord(connection);
}
