// Who gets the status page and the metrics: where TLS is required, a
// clear request only learns where the page is; outside StatusPageFrom, a
// request learns nothing about the instance.
#include "daemon/connection_loop.h"
#include "platform/address_text.h"
#include "platform/net.h"
#include "session/status_page.h"

bool ConnectionLoop::readStatusPageFrom() {
  std::string error;
  if (parsePrefixList(m_config.StatusPageFrom, &m_statusPageFrom, &error)) return true;
  // Showing the page to everyone when the administrator meant to narrow
  // it would be worse than serving nothing until the list is mended.
  m_host.reportWarning("StatusPageFrom (" + m_config.StatusPageFrom + "): " + error +
                       "; listening on nothing");
  return false;
}

PageResponse ConnectionLoop::pageFor(const ClientConnection& connection, DaemonMetrics::Page page) {
  if (m_tlsMode == TlsMode::Required && !connection.tls) {
    m_metrics.pageRefused(DaemonMetrics::PageRefusal::TlsRequired);
    return httpsOnlyResponse();
  }
  if (m_statusPageFrom.empty() || anyContains(m_statusPageFrom, connection.peer.address)) {
    m_metrics.pageServed(page);
    if (page == DaemonMetrics::Page::Metrics) {
      // Logins a worker has finished with are no longer held.
      takeFinishedLogins();
      return metricsResponse(m_metrics.exposition(pendingByStage(connection)));
    }
    return m_host.statusPage();
  }
  m_metrics.pageRefused(DaemonMetrics::PageRefusal::NotInStatusPageFrom);
  if (m_sources.mayLogPageRefusal(connection.source, Clock::now())) {
    m_refusals.write(connection.source, "Status page refused to " +
                                            addressText(connection.peer.address) + " port " +
                                            std::to_string(connection.peer.port) +
                                            ": not in StatusPageFrom");
  }
  return forbiddenResponse();
}

DaemonMetrics::Pending ConnectionLoop::pendingByStage(const ClientConnection& asking) const {
  using Stage = DaemonMetrics::Stage;
  DaemonMetrics::Pending pending{};
  auto count = [&pending](Stage stage, std::size_t n) { pending[static_cast<std::size_t>(stage)] += n; };
  // The request asking is about to be sent its page, whether or not the
  // loop holds it yet (it is read as soon as it is accepted).
  count(Stage::Page, 1);
  // Asked while a pass over the connections may be under way: those it
  // has moved on (null) or finished with (handed over, closed) are not
  // held any more.
  for (const std::unique_ptr<ClientConnection>& connection : m_connections) {
    if (!connection || connection->handedOver || !connection->client ||
        connection->client->Handle() == platform::kInvalidSocket) {
      continue;
    }
    if (connection.get() == &asking) continue;
    switch (connection->stage) {
      case ClientConnection::Stage::Record: count(Stage::Record, 1); break;
      case ClientConnection::Stage::Relay: count(Stage::Relay, 1); break;
      case ClientConnection::Stage::Page: count(Stage::Page, 1); break;
    }
  }
  count(Stage::Waiting, m_waiting.size());
  count(Stage::Worker, m_handedOver);
  count(Stage::Refusal, m_delayedRefusals.size());
  count(Stage::Blocked, m_blocked.size());
  return pending;
}
