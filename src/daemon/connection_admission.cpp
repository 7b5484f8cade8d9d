// Who the loop takes in and who it hands on: the accept within the bounds
// of each stage, the cap per source, room made by closing a connection
// still sending its record, the hand-over of a screened login to a worker
// or to the queue for a slot, and the logins that come back.
#include <algorithm>
#include <chrono>

#include "daemon/connection_loop.h"
#include "platform/net.h"
#include "platform/socket_wait.h"
#include "platform/address_text.h"
#include "session/address_prefix.h"
#include "session/log_text.h"

bool ConnectionLoop::accepting(Clock::time_point now) const {
  const bool paused = m_acceptPauseMs != 0 && now < m_acceptResumes;
  return !paused && roomForOneMore();
}

bool ConnectionLoop::roomForOneMore() const {
  return held() < m_bounds.records || m_sources.readingInAll() > 0;
}

void ConnectionLoop::acceptClients(const Listener& listener) {
  while (roomForOneMore()) {
    platform::Endpoint peer;
    const platform::SocketHandle accepted = platform::acceptSocket(listener.socket(), &peer);
    if (accepted == platform::kInvalidSocket) {
      const platform::ErrorCode code = platform::lastSocketError();
      if (code == platform::kWsaWouldBlock) return;
      if (code == platform::kWsaInterrupted) continue;
      // Out of descriptors with a connection queued, say: the listener
      // stays ready, and accepting pauses instead of trying again at once.
      // One report per pause.
      m_host.reportFailure("accept failed to complete", code);
      m_acceptPauseMs = m_acceptPauseMs == 0 ? kFirstAcceptPauseMs
                                             : std::min(m_acceptPauseMs * 2, kLastAcceptPauseMs);
      m_acceptResumes = Clock::now() + std::chrono::milliseconds(m_acceptPauseMs);
      return;
    }
    m_acceptPauseMs = 0;
    admitClient(accepted, peer);
  }
}

void ConnectionLoop::admitClient(platform::SocketHandle accepted,
                                 const platform::Endpoint& peer) {
  const platform::NetAddress source = sourceOf(peer.address, m_config.sourcePrefixIpv6Bits());
  // A balancer's connections count under its own address until their
  // headers name the clients; its many clients are no flood.
  const bool balancer = anyContains(m_proxyFrom, peer.address);
  if (!balancer && overSourceCap(peer, source)) {
    platform::closeSocket(accepted);
    return;
  }
  auto connection = std::make_unique<ClientConnection>();
  connection->client = std::make_unique<CSocket>(accepted);
  connection->peer = peer;
  connection->source = source;
  connection->proxyHeaderDue = balancer;
  if (held() >= m_bounds.records) makeRoom();
  if (!balancer && m_host.refusesEverything(source)) {
    connection->deadline = Clock::now() + kBlockedPause;
    m_sources.add(source);
    m_blocked.push_back(std::move(connection));
    return;
  }
  if (!platform::watchSocket(m_socketWait, accepted)) {
    m_host.reportFailure("WSAEventSelect failed trying to configure client socket",
                         platform::lastSocketError());
    return;
  }
  if (m_config.SockNoDelay) platform::setNoDelay(accepted, true);
  if (m_config.TCPEnableKeepAlive) {
    // Switches keep-alive on, with its timing.
    platform::setKeepAliveTiming(accepted, m_config.keepIdleSeconds(),
                                 m_config.keepIntervalSeconds(), m_config.keepCount());
  }
  if (m_config.LogAllEvents) m_log.entry() << "negotiateLogin - connected to client";
  connection->deadline = receiveDeadline();
  connection->transportKnown = m_tlsMode == TlsMode::No;
  m_sources.add(source);
  m_sources.startReading(source);
  // What a client sent with its connect is there already.
  if (progressRecord(*connection)) {
    m_connections.push_back(std::move(connection));
    return;
  }
  if (connection->reading()) m_sources.stopReading(source);
  if (!connection->handedOver) m_sources.remove(source);
}

bool ConnectionLoop::overSourceCap(const platform::Endpoint& peer,
                                   const platform::NetAddress& source) {
  std::size_t fromSource = m_sources.count(source);
  if (fromSource >= m_bounds.perSource) {
    // Logins a worker has just let go of may not have been taken back
    // yet: a client that saw its end and came again is not counted twice.
    takeFinishedLogins();
    fromSource = m_sources.count(source);
  }
  if (fromSource < m_bounds.perSource) return false;
  if (m_sources.mayLogRefusal(source, Clock::now())) {
    m_log.entry() << "negotiateLogin - connection from " << addressText(peer.address)
                  << " closed: " << fromSource << " connections from that address pending";
    m_refusals.write(source, pendingClosedText(peer, fromSource));
  }
  m_metrics.connectionClosed(DaemonMetrics::Closure::PerSource);
  return true;
}

void ConnectionLoop::makeRoom() {
  const std::optional<platform::NetAddress> address = m_sources.mostReading();
  if (!address) return;
  // The connections stand in the order of their accept.
  const auto oldest = std::find_if(m_connections.begin(), m_connections.end(), [&](const auto& c) {
    return c->reading() && c->source == *address;
  });
  if (oldest == m_connections.end()) return;
  ClientConnection& connection = **oldest;
  const std::size_t reading = m_sources.reading(*address);
  if (m_sources.mayLogEviction(*address, Clock::now())) {
    m_log.entry() << "negotiateLogin - connection from " << addressText(connection.peer.address)
                  << " closed to make room: " << reading
                  << " connections from that address sending their records";
    m_refusals.write(*address, makeRoomClosedText(connection.peer, reading));
  }
  connection.client->Close();
  m_metrics.connectionClosed(DaemonMetrics::Closure::PendingRecords);
  m_sources.stopReading(*address);
  m_sources.remove(*address);
  m_connections.erase(oldest);
}

void ConnectionLoop::screenAndHandOver(ClientConnection& connection) {
  if (!m_host.screenRecord(connection)) return;
  leaveWait(connection);
  if (m_handedOver < m_bounds.logins) {
    handOver(connection);
    return;
  }
  // No slot: the login waits for one, its source's count with it, and its
  // time no longer runs.
  auto waiting = std::make_unique<ClientConnection>();
  waiting->client = std::move(connection.client);
  waiting->login = std::move(connection.login);
  waiting->peer = connection.peer;
  waiting->source = connection.source;
  waiting->proxied = connection.proxied;
  waiting->received = connection.received;
  waiting->wholeAt = connection.wholeAt;
  waiting->tls = std::move(connection.tls);
  connection.handedOver = true;
  m_waiting.push_back(std::move(waiting));
  if (m_waiting.size() == 1) {
    // From now on each end frees a slot that a waiting login needs at
    // once; one that ended before is taken now.
    m_workers->wakeOnEveryEnd(true);
    takeFinishedLogins();
  }
}

void ConnectionLoop::leaveWait(ClientConnection& connection) {
  CSocket& client = *connection.client;
  // The engine gets the connection as a blocking socket that nothing else
  // waits on.
  if (!platform::unwatchSocket(m_socketWait, client.Handle())) {
    m_host.reportFailure("WSAEventSelect failed trying to configure client socket",
                         platform::lastSocketError());
  } else if (!platform::setBlocking(client.Handle(), true)) {
    m_host.reportFailure("ioctlsocket failed trying to configure client socket",
                         platform::lastSocketError());
  }
}

void ConnectionLoop::handOver(ClientConnection& connection) {
  LoginJob job;
  job.client = std::move(connection.client);
  job.login = std::move(connection.login);
  job.peer = connection.peer;
  job.source = connection.source;
  job.proxied = connection.proxied;
  job.tls = std::move(connection.tls);
  job.recordAt = Clock::now();
  job.wholeAt = connection.wholeAt;
  m_host.prepareLogin(job);
  connection.handedOver = true;
  ++m_handedOver;
  m_workers->submit(std::move(job));
}

void ConnectionLoop::startWaitingLogins(bool all) {
  while (!m_waiting.empty() && (all || m_handedOver < m_bounds.logins)) {
    const std::unique_ptr<ClientConnection> waiting = std::move(m_waiting.front());
    m_waiting.pop_front();
    handOver(*waiting);
  }
  if (m_waiting.empty()) m_workers->wakeOnEveryEnd(false);
}

void ConnectionLoop::takeFinishedLogins() {
  std::vector<LoginJob> finished;
  m_workers->takeFinished(finished);
  for (LoginJob& job : finished) {
    --m_handedOver;
    // A refusal still to be sent keeps its place in the source's count.
    if (job.client != nullptr && job.refuseAt) {
      m_delayedRefusals.push_back(std::move(job));
    } else {
      m_sources.remove(job.source);
    }
  }
  startWaitingLogins(false);
}

void ConnectionLoop::answerDueRefusals(Clock::time_point now, bool all) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < m_delayedRefusals.size(); ++i) {
    LoginJob& refusal = m_delayedRefusals[i];
    if (all || *refusal.refuseAt <= now) {
      m_host.sendRefusal(refusal);
      refusal.client->Close();
      m_sources.remove(refusal.source);
    } else {
      if (kept != i) m_delayedRefusals[kept] = std::move(refusal);
      ++kept;
    }
  }
  m_delayedRefusals.resize(kept);
  answerDueBlocked(now, all);
}

void ConnectionLoop::answerDueBlocked(Clock::time_point now, bool all) {
  while (!m_blocked.empty() && (all || m_blocked.front()->deadline <= now)) {
    const std::unique_ptr<ClientConnection> connection = std::move(m_blocked.front());
    m_blocked.pop_front();
    // What came of the record is read once, for the user its line names.
    const int got = platform::receiveReady(connection->client->Handle(), connection->login.bytes,
                                           static_cast<int>(netLogin::kSize));
    if (got > 0) connection->received = static_cast<std::size_t>(got);
    m_host.refuseBlocked(*connection);
    connection->client->Close();
    m_sources.remove(connection->source);
  }
}

ConnectionLoop::Clock::time_point ConnectionLoop::receiveDeadline() const {
  return Clock::now() + std::chrono::seconds(m_config.receiveBoundSeconds());
}
