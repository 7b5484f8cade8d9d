// Connections from a load balancer: the PROXY protocol header it writes
// first, which names the client the connection stands for.
#include <algorithm>

#include "daemon/connection_loop.h"
#include "platform/address_text.h"
#include "platform/net.h"
#include "session/proxy_header.h"

bool ConnectionLoop::readProxyFrom() {
  std::string error;
  if (parsePrefixList(m_config.ProxyProtocolFrom, &m_proxyFrom, &error)) return true;
  // Believing headers from nobody, or from everybody, would both be worse
  // than not serving until the list is mended.
  m_host.reportWarning("ProxyProtocolFrom (" + m_config.ProxyProtocolFrom + "): " + error +
                       "; listening on nothing");
  return false;
}

bool ConnectionLoop::takeProxyHeader(ClientConnection& connection) {
  CSocket& client = *connection.client;
  std::string& header = connection.proxyHeader;
  // What has come so far is looked at, not taken: past the header's end
  // are the client's own bytes, perhaps a TLS handshake for the relay.
  std::uint8_t bytes[kProxyHeaderMaxLength];
  std::copy(header.begin(), header.end(), bytes);
  const int got = platform::peekReady(client.Handle(), bytes + header.size(),
                                      static_cast<int>(sizeof bytes - header.size()));
  if (got < 0 && platform::lastSocketError() == platform::kWsaWouldBlock) return true;
  const auto refuse = [&] {
    m_log.entry() << "negotiateLogin - bad PROXY protocol header from "
                  << addressText(connection.peer.address) << " - connection closed";
    m_refusals.write(connection.source, proxyRefusedText(connection.peer));
    client.Close();
    return false;
  };
  if (got <= 0) {
    // A balancer's probe that connects and leaves at once says nothing.
    if (header.empty()) {
      client.Close();
      return false;
    }
    return refuse();
  }
  const std::size_t size = header.size() + static_cast<std::size_t>(got);
  ProxyHeader parsed;
  const ProxyParse result = parseProxyHeader(bytes, size, &parsed);
  if (result == ProxyParse::Bad) return refuse();
  // Every byte of a header not yet whole is the header's own: taken, so
  // that the wait does not find them ready again and again.
  const std::size_t take = result == ProxyParse::Done ? parsed.length - header.size()
                                                      : static_cast<std::size_t>(got);
  if (platform::receiveReady(client.Handle(), bytes + header.size(), static_cast<int>(take)) !=
      static_cast<int>(take)) {
    return refuse();
  }
  if (result == ProxyParse::NeedMore) {
    header.append(reinterpret_cast<const char*>(bytes) + header.size(), take);
    return true;
  }
  connection.proxyHeaderDue = false;
  header.clear();
  header.shrink_to_fit();
  if (!parsed.local) {
    // From here on the connection is the client's: counted, bounded and
    // named as the client.
    const platform::Endpoint named{parsed.source.address.unmapped(), parsed.source.port};
    const platform::NetAddress source = sourceOf(named.address, m_config.sourcePrefixIpv6Bits());
    const bool over = overSourceCap(named, source);
    m_sources.stopReading(connection.source);
    m_sources.remove(connection.source);
    connection.peer = named;
    connection.source = source;
    connection.proxied = true;
    m_sources.add(source);
    m_sources.startReading(source);
    if (over) {
      client.Close();
      return false;
    }
    if (m_config.LogAllEvents) {
      m_log.entry() << "negotiateLogin - PROXY protocol header names " << addressText(named.address)
                    << " port " << named.port;
    }
  }
  return progressRecord(connection);
}
