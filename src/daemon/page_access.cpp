// Who gets the status page: where TLS is required, a clear request only
// learns where the page is; outside StatusPageFrom, a request learns
// nothing about the instance.
#include "daemon/connection_loop.h"
#include "platform/address_text.h"
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

PageResponse ConnectionLoop::pageFor(const ClientConnection& connection) {
  if (m_tlsMode == TlsMode::Required && !connection.tls) return httpsOnlyResponse();
  if (m_statusPageFrom.empty() || anyContains(m_statusPageFrom, connection.peer.address)) {
    return m_host.statusPage();
  }
  if (m_sources.mayLogPageRefusal(connection.source, Clock::now())) {
    m_refusals.write(connection.source, "Status page refused to " +
                                            addressText(connection.peer.address) + " port " +
                                            std::to_string(connection.peer.port) +
                                            ": not in StatusPageFrom");
  }
  return forbiddenResponse();
}
