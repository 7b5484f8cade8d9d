// Who the loop takes in and who it hands on: the accept within the bounds,
// the cap per source, the hand-over of a screened login to a worker, and
// the logins that come back from the workers.
#include <algorithm>
#include <chrono>

#include "daemon/connection_loop.h"
#include "platform/net.h"
#include "platform/socket_wait.h"
#include "session/log_text.h"

bool ConnectionLoop::accepting(Clock::time_point now) const {
  const bool paused = m_acceptPauseMs != 0 && now < m_acceptResumes;
  return m_listener.listening() && !paused && pending() < m_config.pendingLoginsBound();
}

void ConnectionLoop::acceptClients() {
  while (pending() < m_config.pendingLoginsBound()) {
    platform::Ipv4Endpoint peer;
    const platform::SocketHandle accepted = platform::acceptSocket(m_listener.socket(), &peer);
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
                                 const platform::Ipv4Endpoint& peer) {
  std::size_t fromSource = m_sources.count(peer.address);
  if (fromSource >= m_config.pendingPerSourceBound()) {
    // Logins a worker has just let go of may not have been taken back
    // yet: a client that saw its end and came again is not counted twice.
    takeFinishedLogins();
    fromSource = m_sources.count(peer.address);
  }
  if (fromSource >= m_config.pendingPerSourceBound()) {
    platform::closeSocket(accepted);
    if (m_sources.mayLogRefusal(peer.address, Clock::now())) {
      m_log.entry() << "negotiateLogin - connection from " << dottedAddress(peer.address)
                    << " closed: " << fromSource << " connections from that address pending";
      m_refusals.write(peer.address, pendingClosedText(peer, fromSource));
    }
    return;
  }
  auto connection = std::make_unique<ClientConnection>();
  connection->client = std::make_unique<CSocket>(accepted);
  connection->peer = peer;
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
  m_sources.add(peer.address);
  // What a client sent with its connect is there already.
  if (progressRecord(*connection)) {
    m_connections.push_back(std::move(connection));
  } else if (!connection->handedOver) {
    m_sources.remove(peer.address);
  }
}

void ConnectionLoop::screenAndHandOver(ClientConnection& connection) {
  if (!m_host.screenRecord(connection)) return;
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
  LoginJob job;
  job.client = std::move(connection.client);
  job.login = std::move(connection.login);
  job.peer = connection.peer;
  job.recordAt = Clock::now();
  m_host.prepareLogin(job);
  connection.handedOver = true;
  ++m_handedOver;
  m_workers->submit(std::move(job));
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
      m_sources.remove(job.peer.address);
    }
  }
}

void ConnectionLoop::answerDueRefusals(Clock::time_point now, bool all) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < m_delayedRefusals.size(); ++i) {
    LoginJob& refusal = m_delayedRefusals[i];
    if (all || *refusal.refuseAt <= now) {
      m_host.sendRefusal(refusal);
      refusal.client->Close();
      m_sources.remove(refusal.peer.address);
    } else {
      if (kept != i) m_delayedRefusals[kept] = std::move(refusal);
      ++kept;
    }
  }
  m_delayedRefusals.resize(kept);
}

ConnectionLoop::Clock::time_point ConnectionLoop::receiveDeadline() const {
  return Clock::now() + std::chrono::seconds(m_config.receiveBoundSeconds());
}
