// The connection loop: one wait on the listener, every connection still
// being read or sent to, and the events that stop it or report a login
// done. No connection waits for another; each is closed when its own time
// runs out.
#include <algorithm>
#include <chrono>
#include <string>

#include "daemon/vornd.h"
#include "platform/net.h"
#include "platform/socket_wait.h"
#include "session/log_text.h"

namespace {

using Clock = std::chrono::steady_clock;

// The longest a wait is asked for at once: the wait's 32 bits of
// milliseconds are not to be come near.
constexpr std::int64_t kLongestWaitMs = 24 * 60 * 60 * 1000;
// A pause on a control event that cannot be waited on is slept in slices
// this long, with the stop and pause flags looked at between them.
constexpr std::uint32_t kFlagLookMs = 50;

std::uint32_t millisecondsUntil(Clock::time_point when, Clock::time_point now) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
  return static_cast<std::uint32_t>(std::clamp<std::int64_t>(left, 0, kLongestWaitMs));
}

std::size_t positiveOr(std::int32_t value, std::size_t fallback) {
  return value > 0 ? static_cast<std::size_t>(value) : fallback;
}

}  // namespace

std::size_t CVornD::maxPendingLogins() const { return positiveOr(m_config.MaxPendingLogins, 64); }

std::size_t CVornD::maxPendingPerSource() const {
  return positiveOr(m_config.MaxPendingPerSource, 8);
}

std::size_t CVornD::loginFailureLimit() const {
  if (m_config.LoginFailureLimit == 0) return 0;
  return positiveOr(m_config.LoginFailureLimit, 10);
}

std::uint32_t CVornD::loginFailurePenaltySeconds() const {
  return static_cast<std::uint32_t>(positiveOr(m_config.LoginFailurePenalty, 60));
}

bool CVornD::waitOnControl(std::uint32_t ms) {
  const std::uint32_t result = platform::waitForEvent(m_hScmEvent, ms);
  if (result == 0) return true;
  if (result == platform::kWaitTimeout) return false;
  // No event to wait on: sleep instead, and let the flags that the
  // control handler sets end the pause all the same.
  for (std::uint32_t slept = 0; slept < ms; slept += kFlagLookMs) {
    if (m_bStop || m_bPause) return true;
    platform::sleepMs(std::min(kFlagLookMs, ms - slept));
  }
  return m_bStop || m_bPause;
}

void CVornD::handleClients() {
  m_log.entry() << "handleClients - starting";
  // After a failed wait the next one comes only after a pause, growing
  // while the failures go on: a wait that cannot work never spins.
  std::uint32_t pauseMs = 0;
  std::vector<platform::SocketInterest> interest;
  const platform::EventHandle events[2] = {m_hScmEvent, m_hFinishedEvent};
  for (;;) {
    // A port another program held at start-up: nothing to wait for on the
    // network until the bind succeeds, only for scmEvent.
    if (m_dwBindRetryMs != 0) {
      const auto left = millisecondsUntil(m_nextBindAttempt, Clock::now());
      if (left > 0 && waitOnControl(left)) {
        m_log.entry() << "handleClients - scmEvent fired";
        closeConnections();
        return;
      }
      if (Clock::now() >= m_nextBindAttempt) retryBind();
      continue;
    }
    if (pauseMs != 0 && waitOnControl(pauseMs)) {
      m_log.entry() << "handleClients - scmEvent fired";
      closeConnections();
      return;
    }

    Clock::time_point now = Clock::now();
    const bool acceptPaused = m_dwAcceptPauseMs != 0 && now < m_acceptResumes;
    const bool accepting = m_bListening && !acceptPaused && pendingLogins() < maxPendingLogins();
    interest.clear();
    if (accepting) interest.push_back({m_listenSocket, platform::kWantRead, 0});
    // The wait ends at the first of: accepting again, a connection's
    // time running out, a refusal due, the line on refusal lines left out.
    bool timed = false;
    Clock::time_point wakeAt;
    const auto wakeBy = [&](Clock::time_point when) {
      if (!timed || when < wakeAt) wakeAt = when;
      timed = true;
    };
    if (acceptPaused && m_bListening) wakeBy(m_acceptResumes);
    for (const auto& connection : m_connections) {
      const bool reading = connection->stage == ClientConnection::Stage::Record;
      interest.push_back({connection->client->Handle(),
                          reading ? platform::kWantRead : platform::kWantWrite, 0});
      wakeBy(connection->deadline);
    }
    for (const LoginJob& refusal : m_delayedRefusals) wakeBy(*refusal.refuseAt);
    if (const auto summary = m_refusals.summaryDue()) wakeBy(*summary);
    if (m_config.LogAllEvents && m_connections.empty()) {
      m_log.entry() << "handleClients - waiting";
    }
    const std::uint32_t result = platform::waitForSocketsOrEvents(
        m_socketWait, events, 2, interest.data(), interest.size(),
        timed ? millisecondsUntil(wakeAt, now) : platform::kInfinite);
    switch (result) {
      case 0:
        // The wait consumed the auto-reset event: reset is implied.
        m_log.entry() << "handleClients - scmEvent fired";
        closeConnections();
        return;
      case 1:
        takeFinishedLogins();
        pauseMs = 0;
        break;
      case 2: {
        // The connections first, then the listener: those accepted now
        // are read at once and were never part of this wait.
        const std::size_t offset = accepting ? 1 : 0;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < m_connections.size(); ++i) {
          ClientConnection& connection = *m_connections[i];
          const bool stays = interest[offset + i].ready == 0 || progressConnection(connection);
          if (!stays && !connection.handedOver) m_sources.remove(connection.peer.address);
          if (stays) m_connections[kept++] = std::move(m_connections[i]);
        }
        m_connections.resize(kept);
        if (accepting && interest[0].ready != 0) {
          if (m_config.LogAllEvents) m_log.entry() << "handleClients - client connection detected";
          acceptClients();
        }
        pauseMs = 0;
        break;
      }
      case platform::kWaitTimeout:
        break;
      case platform::kWaitFailed:
        m_log.entry() << "handleClients - WSA_WAIT_FAILED";
        ReportFailure("WAIT failed", true, platform::lastSocketError());
        pauseMs = std::min<std::uint32_t>(pauseMs == 0 ? 1000 : pauseMs * 2, 60000);
        break;
      default:
        ReportFailure("WAIT returned unexpected result", true, platform::lastSocketError());
        pauseMs = std::min<std::uint32_t>(pauseMs == 0 ? 1000 : pauseMs * 2, 60000);
        break;
    }

    // Whatever woke the wait, a connection whose time is up goes now, and
    // a refusal whose time has come is sent.
    now = Clock::now();
    answerDueRefusals(now, false);
    m_refusals.flush(now);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < m_connections.size(); ++i) {
      if (m_connections[i]->deadline <= now) {
        expireConnection(*m_connections[i]);
        m_sources.remove(m_connections[i]->peer.address);
      } else {
        m_connections[kept++] = std::move(m_connections[i]);
      }
    }
    m_connections.resize(kept);
  }
}

void CVornD::acceptClients() {
  while (pendingLogins() < maxPendingLogins()) {
    platform::Ipv4Endpoint peer;
    const platform::SocketHandle accepted = platform::acceptSocket(m_listenSocket, &peer);
    if (accepted == platform::kInvalidSocket) {
      const platform::ErrorCode code = platform::lastSocketError();
      if (code == platform::kWsaWouldBlock) return;
      if (code == platform::kWsaInterrupted) continue;
      // Out of descriptors with a connection queued, say: the listener
      // stays ready, and accepting pauses instead of trying again at once.
      // One report per pause.
      ReportFailure("accept failed to complete", true, code);
      m_dwAcceptPauseMs = m_dwAcceptPauseMs == 0 ? kFirstAcceptPauseMs
                                                 : std::min(m_dwAcceptPauseMs * 2, kLastAcceptPauseMs);
      m_acceptResumes = Clock::now() + std::chrono::milliseconds(m_dwAcceptPauseMs);
      return;
    }
    m_dwAcceptPauseMs = 0;
    admitClient(accepted, peer);
  }
}

void CVornD::admitClient(platform::SocketHandle accepted, const platform::Ipv4Endpoint& peer) {
  std::size_t fromSource = m_sources.count(peer.address);
  if (fromSource >= maxPendingPerSource()) {
    // Logins a worker has just let go of may not have been taken back
    // yet: a client that saw its end and came again is not counted twice.
    takeFinishedLogins();
    fromSource = m_sources.count(peer.address);
  }
  if (fromSource >= maxPendingPerSource()) {
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
    ReportFailure("WSAEventSelect failed trying to configure client socket", true,
                  platform::lastSocketError());
    return;
  }
  if (m_config.SockNoDelay) platform::setNoDelay(accepted, true);
  if (m_config.TCPEnableKeepAlive) {
    // Switches keep-alive on, with its timing.
    platform::setKeepAliveTiming(accepted, positiveOr(m_config.TCPKeepIdle, 300),
                                 positiveOr(m_config.TCPKeepInterval, 60),
                                 positiveOr(m_config.TCPKeepCount, 8));
  }
  if (m_config.LogAllEvents) m_log.entry() << "negotiateLogin - connected to client";
  connection->deadline = Clock::now() + std::chrono::seconds(receiveBoundSeconds());
  m_sources.add(peer.address);
  // What a client sent with its connect is there already.
  if (progressRecord(*connection)) {
    m_connections.push_back(std::move(connection));
  } else if (!connection->handedOver) {
    m_sources.remove(peer.address);
  }
}

bool CVornD::progressConnection(ClientConnection& connection) {
  return connection.stage == ClientConnection::Stage::Record ? progressRecord(connection)
                                                              : progressStatusPage(connection);
}

std::uint32_t CVornD::receiveBoundSeconds() const {
  return static_cast<std::uint32_t>(positiveOr(m_config.SockReceiveTimeout, 5));
}

void CVornD::expireConnection(ClientConnection& connection) {
  if (connection.stage == ClientConnection::Stage::Record) {
    m_log.entry() << "negotiateLogin - no complete login record within " << receiveBoundSeconds()
                  << " seconds - connection closed";
    m_refusals.write(connection.peer.address,
                     incompleteRecordText(connection.peer, receiveBoundSeconds()));
  } else {
    m_log.entry() << "sendStatusPage - no progress within " << receiveBoundSeconds()
                  << " seconds - page abandoned";
  }
  connection.client->Close();
}

void CVornD::takeFinishedLogins() {
  std::vector<LoginJob> finished;
  m_workers->takeFinished(finished);
  for (LoginJob& job : finished) {
    --m_nHandedOver;
    // A refusal still to be sent keeps its place in the source's count.
    if (job.client != nullptr && job.refuseAt) {
      m_delayedRefusals.push_back(std::move(job));
    } else {
      m_sources.remove(job.peer.address);
    }
  }
}

void CVornD::answerDueRefusals(Clock::time_point now, bool all) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < m_delayedRefusals.size(); ++i) {
    LoginJob& refusal = m_delayedRefusals[i];
    if (all || *refusal.refuseAt <= now) {
      sendLoginReply(*refusal.client, false);
      refusal.client->Close();
      m_sources.remove(refusal.peer.address);
    } else {
      if (kept != i) m_delayedRefusals[kept] = std::move(refusal);
      ++kept;
    }
  }
  m_delayedRefusals.resize(kept);
}

void CVornD::closeConnections() {
  // Not answered and not counted: none of them has its record in.
  for (const auto& connection : m_connections) m_sources.remove(connection->peer.address);
  m_connections.clear();
}
