// What the loop reads on a connection it holds: the first bytes, which
// tell a page request from a login record, and the rest of the record;
// and the end of a connection whose time ran out.
#include <algorithm>
#include <cstring>

#include "daemon/connection_loop.h"
#include "platform/net.h"
#include "session/log_text.h"
#include "session/page_delivery.h"
#include "session/page_request.h"
#include "session/tls_session.h"

bool ConnectionLoop::progress(ClientConnection& connection) {
  switch (connection.stage) {
    case ClientConnection::Stage::Record: return progressRecord(connection);
    case ClientConnection::Stage::Relay: return progressRelay(connection);
    case ClientConnection::Stage::Page: break;
  }
  return ::progressPage(connection, m_config.receiveBoundSeconds());
}

bool ConnectionLoop::progressRecord(ClientConnection& connection) {
  if (connection.proxyHeaderDue) return takeProxyHeader(connection);
  if (!connection.transportKnown) return takeTransport(connection);
  CSocket& client = *connection.client;
  char* const record = connection.login.bytes;
  // What has arrived is taken at once; the loop waits for the rest.
  while (connection.received < netLogin::kSize) {
    const std::size_t before = connection.received;
    const int got = platform::receiveReady(client.Handle(), record + before,
                                           static_cast<int>(netLogin::kSize - before));
    if (got < 0 && platform::lastSocketError() == platform::kWsaWouldBlock) return true;
    if (got <= 0) {
      // A record that did not arrive whole is neither screened nor
      // answered nor counted.
      if (m_config.LogAllEvents) {
        m_log.entry() << "negotiateLogin - connection closed before the login record was complete";
      }
      client.Close();
      return false;
    }
    connection.received += static_cast<std::size_t>(got);
    // A request is told from a record by its first bytes; which page it
    // asks for may take a few more.
    if (connection.received >= kRequestStart && std::memcmp(record, "GET", 3) == 0) {
      const std::optional<RequestedPage> requested =
          requestedPage(std::string_view(record, connection.received));
      if (!requested) continue;
      if (m_config.LogAllEvents) m_log.entry() << "Got HTTP request";
      m_sources.stopReading(connection.source);
      const auto page = *requested == RequestedPage::Metrics ? DaemonMetrics::Page::Metrics
                                                             : DaemonMetrics::Page::Status;
      ::beginPage(connection, pageFor(connection, page), m_config.receiveBoundSeconds());
      return ::progressPage(connection, m_config.receiveBoundSeconds());
    }
  }
  if (m_config.LogAllEvents) m_log.entry() << "negotiateLogin - netLogin assembly complete";
  connection.wholeAt = ClientConnection::Clock::now();
  screenAndHandOver(connection);
  return false;
}

void ConnectionLoop::expire(ClientConnection& connection) {
  const std::uint32_t seconds = m_config.receiveBoundSeconds();
  using Closure = DaemonMetrics::Closure;
  m_metrics.connectionClosed(connection.stage == ClientConnection::Stage::Relay ? Closure::HandshakeTime
                             : connection.proxyHeaderDue                          ? Closure::ProxyHeaderTime
                             : connection.stage == ClientConnection::Stage::Record ? Closure::RecordTime
                                                                                   : Closure::PageTime);
  if (connection.stage == ClientConnection::Stage::Relay) {
    m_metrics.tlsHandshake(false);
    const std::string reason = std::string(kNoHandshakeInTime) + std::to_string(seconds) + " seconds";
    m_log.entry() << "negotiateLogin - " << reason << " - connection closed";
    m_refusals.write(connection.source, tlsRefusedText(connection.peer, reason));
  } else if (connection.proxyHeaderDue) {
    m_log.entry() << "negotiateLogin - no PROXY protocol header within " << seconds
                  << " seconds - connection closed";
    m_refusals.write(connection.source, proxyRefusedText(connection.peer));
  } else if (connection.stage == ClientConnection::Stage::Record) {
    m_log.entry() << "negotiateLogin - no complete login record within " << seconds
                  << " seconds - connection closed";
    m_refusals.write(connection.source, incompleteRecordText(connection.peer, seconds));
  } else {
    m_log.entry() << "sendStatusPage - no progress within " << seconds
                  << " seconds - page abandoned";
  }
  connection.client->Close();
}
