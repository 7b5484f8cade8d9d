// The loop itself: one wait on the listener, every connection still being
// read or sent to, and the events that stop it or report a login done.
#include "daemon/connection_loop.h"

#include <algorithm>
#include <chrono>

#include "platform/deadline.h"
#include "platform/net.h"
#include "platform/socket_wait.h"
#include "session/address_prefix.h"

namespace {

using Clock = std::chrono::steady_clock;

std::uint32_t nextPause(std::uint32_t pauseMs, std::uint32_t first, std::uint32_t last) {
  return pauseMs == 0 ? first : std::min(pauseMs * 2, last);
}

}  // namespace

ConnectionLoop::ConnectionLoop(ConnectionHost& host, const CServiceConfig& config,
                               AdmissionBounds bounds, LogStream& log, RefusalLog& refusals,
                               DaemonMetrics& metrics, LoginWorkers::Handler handler)
    : m_host(host),
      m_config(config),
      m_log(log),
      m_refusals(refusals),
      m_metrics(metrics),
      m_bounds(bounds) {
  m_finishedEvent = platform::createEvent(false, false);
  if (m_finishedEvent == nullptr) m_host.reportFailure("CreateEvent", platform::lastError());
  m_workers = std::make_unique<LoginWorkers>(std::move(handler), m_finishedEvent);
  // More threads than this would only wait for one another.
  m_workers->setThreadLimit(std::min<std::size_t>(m_bounds.logins, 64));
  // A finished login is taken back at the loop's next wake; only while
  // logins wait for a slot must each end wake it.
  m_workers->wakeOnEveryEnd(false);
}

ConnectionLoop::~ConnectionLoop() {
  // Logins still with a worker finish first: they use all of the below.
  m_workers.reset();
  removeConnections([](const ClientConnection&) { return true; });
  m_waiting.clear();
  m_delayedRefusals.clear();
  if (m_socketWait != nullptr) platform::closeSocketWait(m_socketWait);
  if (m_finishedEvent != nullptr) platform::closeEvent(m_finishedEvent);
  platform::stopTlsRelay(m_relay);
}

bool ConnectionLoop::open() {
  // Never clear because TLS could not be had: then nothing at all.
  if (!openTls()) {
    m_socketWait = platform::createSocketWait();
    return false;
  }
  m_socketWait = platform::createSocketWait();
  if (m_socketWait == nullptr) {
    m_host.reportFailure("Can't associate event with listener socket",
                         platform::lastSocketError());
  }
  if (!readProxyFrom() || !readStatusPageFrom() || !openListeners()) return false;
  if (listening() && m_config.LogAllEvents) {
    m_log.entry() << "createListener complete - listening on port " << m_config.SockPort;
  }
  return listening();
}

bool ConnectionLoop::openListeners() {
  std::vector<platform::NetAddress> addresses;
  const bool chosen = !m_config.SockListenAddress.empty();
  if (chosen) {
    std::string error;
    if (!parseAddressList(m_config.SockListenAddress, &addresses, &error) || addresses.empty()) {
      // Listening elsewhere than the administrator said would be worse
      // than not at all.
      m_host.reportWarning("SockListenAddress (" + m_config.SockListenAddress +
                           "): " + (error.empty() ? "no address" : error) +
                           "; listening on nothing");
      return false;
    }
  } else {
    addresses = {platform::NetAddress::ipv4(0), platform::NetAddress::ipv6({})};
  }
  // Port 0 is no port: one report, whatever the list.
  if (m_config.listenPort() == 0) addresses.resize(1);
  for (const platform::NetAddress& address : addresses) {
    auto listener = std::make_unique<Listener>();
    const bool bound = listener->open({address, m_config.listenPort()});
    if (!listener->created()) {
      if (!chosen && address.isIpv6() &&
          listener->bindError() == platform::kWsaFamilyNotSupported) {
        m_host.reportInformation("IPv6 is not available on this host: listening on IPv4 alone");
        continue;
      }
      m_host.reportFailure("Can't create listener socket", listener->bindError());
    } else if (!bound) {
      m_host.reportFailure("Can't bind listener socket to requested port",
                           listener->bindError());
    }
    // The wait watches each listener from the start; an accept with
    // nothing waiting must fail at once, not hang.
    if (listener->created() &&
        (m_socketWait == nullptr || !platform::watchSocket(m_socketWait, listener->socket()) ||
         !platform::setBlocking(listener->socket(), false))) {
      m_host.reportFailure("Can't associate event with listener socket",
                           platform::lastSocketError());
    }
    m_listeners.push_back(std::move(listener));
  }
  return true;
}

bool ConnectionLoop::listening() const {
  if (m_listeners.empty()) return false;
  return std::all_of(m_listeners.begin(), m_listeners.end(),
                     [](const auto& listener) { return listener->listening(); });
}

const Listener* ConnectionLoop::waitingListener() const {
  for (const auto& listener : m_listeners) {
    if (!listener->listening()) return listener.get();
  }
  return m_listeners.empty() ? nullptr : m_listeners.front().get();
}

void ConnectionLoop::serve(platform::EventHandle control) {
  m_log.entry() << "handleClients - starting";
  for (;;) {
    // A port another program held at start-up, and nothing else listened
    // on: nothing to wait for on the network until a bind succeeds, only
    // for a control.
    const bool anyListening = std::any_of(m_listeners.begin(), m_listeners.end(),
                                          [](const auto& listener) { return listener->listening(); });
    if (!anyListening && nextBindAttempt()) {
      if (waitForPort()) break;
      continue;
    }
    if (m_waitPauseMs != 0 && m_host.waitOnControl(m_waitPauseMs)) break;
    const Wake wake = waitOnce(control);
    if (wake == Wake::Control) break;
    switch (wake) {
      case Wake::Finished:
        takeFinishedLogins();
        m_waitPauseMs = 0;
        break;
      case Wake::Sockets:
        serveReadySockets();
        m_waitPauseMs = 0;
        break;
      case Wake::Failed:
        m_waitPauseMs = nextPause(m_waitPauseMs, 1000, 60000);
        break;
      default:
        break;
    }
    serveDue(Clock::now());
  }
  // The wait consumed the auto-reset event: reset is implied.
  m_log.entry() << "handleClients - scmEvent fired";
  // Not answered and not counted: none of them has its record in.
  removeConnections([](const ClientConnection&) { return true; });
}

bool ConnectionLoop::waitForPort() {
  const std::optional<Clock::time_point> next = nextBindAttempt();
  if (!next) return false;
  const std::uint32_t left = platform::Deadline::at(*next).leftMs();
  if (left > 0 && m_host.waitOnControl(left)) return true;
  retryListeners(Clock::now());
  return false;
}

std::optional<ConnectionLoop::Clock::time_point> ConnectionLoop::nextBindAttempt() const {
  std::optional<Clock::time_point> next;
  for (const auto& listener : m_listeners) {
    if (listener->retrying() && (!next || listener->nextAttempt() < *next)) {
      next = listener->nextAttempt();
    }
  }
  return next;
}

void ConnectionLoop::retryListeners(Clock::time_point now) {
  for (const auto& listener : m_listeners) {
    if (!listener->retrying() || now < listener->nextAttempt()) continue;
    if (listener->retry()) {
      m_host.portBound(*listener);
      if (m_config.LogAllEvents && listening()) {
        m_log.entry() << "createListener complete - listening on port " << m_config.SockPort;
      }
    } else {
      m_host.portWaiting(*listener);
    }
  }
}

ConnectionLoop::Wake ConnectionLoop::waitOnce(platform::EventHandle control) {
  const Clock::time_point now = Clock::now();
  m_listenersWatched.clear();
  m_interest.clear();
  if (accepting(now)) {
    for (const auto& listener : m_listeners) {
      if (!listener->listening()) continue;
      m_listenersWatched.push_back(listener.get());
      m_interest.push_back({listener->socket(), platform::kWantRead, 0});
    }
  }
  // The wait ends at the first of: accepting again, a connection's time
  // running out, a refusal due, the line on refusal lines left out.
  platform::Deadline wakeAt;
  const auto wakeBy = [&wakeAt](Clock::time_point when) { wakeAt.atLatest(when); };
  if (m_acceptPauseMs != 0 && now < m_acceptResumes) wakeBy(m_acceptResumes);
  if (const auto attempt = nextBindAttempt()) wakeBy(*attempt);
  for (const auto& connection : m_connections) {
    const bool reading = connection->reading();
    m_interest.push_back({connection->client->Handle(),
                          reading ? platform::kWantRead : platform::kWantWrite, 0});
    wakeBy(connection->deadline);
  }
  for (const LoginJob& refusal : m_delayedRefusals) wakeBy(*refusal.refuseAt);
  if (!m_blocked.empty()) wakeBy(m_blocked.front()->deadline);
  if (const auto summary = m_refusals.summaryDue()) wakeBy(*summary);
  if (m_config.LogAllEvents && m_connections.empty()) m_log.entry() << "handleClients - waiting";

  const platform::EventHandle events[2] = {control, m_finishedEvent};
  const std::uint32_t result = platform::waitForSocketsOrEvents(
      m_socketWait, events, 2, m_interest.data(), m_interest.size(),
      wakeAt.leftMs(now));
  switch (result) {
    case 0: return Wake::Control;
    case 1: return Wake::Finished;
    case 2: return Wake::Sockets;
    case platform::kWaitTimeout: return Wake::Time;
    case platform::kWaitFailed:
      m_log.entry() << "handleClients - WSA_WAIT_FAILED";
      m_host.reportFailure("WAIT failed", platform::lastSocketError());
      return Wake::Failed;
    default:
      m_host.reportFailure("WAIT returned unexpected result", platform::lastSocketError());
      return Wake::Failed;
  }
}

void ConnectionLoop::serveReadySockets() {
  // The connections first, then the listener: those accepted now are read
  // at once and were never part of this wait.
  const std::vector<const Listener*> watched = m_listenersWatched;
  const std::size_t offset = watched.size();
  // Each connection's place in m_interest is its place in m_connections
  // when the wait began; admissions come only after this pass.
  std::size_t index = 0;
  removeConnections([&](ClientConnection& connection) {
    const platform::SocketInterest& interest = m_interest[offset + index++];
    return interest.ready != 0 && !progress(connection);
  });
  for (std::size_t i = 0; i < watched.size(); ++i) {
    if (m_interest[i].ready == 0) continue;
    if (m_config.LogAllEvents) m_log.entry() << "handleClients - client connection detected";
    acceptClients(*watched[i]);
  }
}

void ConnectionLoop::serveDue(Clock::time_point now) {
  retryListeners(now);
  answerDueRefusals(now, false);
  m_refusals.flush(now);
  removeConnections([&](ClientConnection& connection) {
    if (connection.deadline > now) return false;
    expire(connection);
    return true;
  });
}

template <typename Done>
void ConnectionLoop::removeConnections(Done done) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < m_connections.size(); ++i) {
    ClientConnection& connection = *m_connections[i];
    if (!done(connection)) {
      if (kept != i) m_connections[kept] = std::move(m_connections[i]);
      ++kept;
    } else {
      if (connection.reading()) {
        m_sources.stopReading(connection.source);
      }
      if (!connection.handedOver) m_sources.remove(connection.source);
    }
  }
  m_connections.resize(kept);
}

void ConnectionLoop::idle() {
  takeFinishedLogins();
  answerDueRefusals(Clock::now(), false);
  m_refusals.flush();
}

void ConnectionLoop::finish() {
  // Logins past their record finish their launch before the stop goes on,
  // those still waiting for a slot too; refusals waiting for their time
  // are sent now.
  startWaitingLogins(true);
  // No connection comes any more: the relay's master leaves, and the
  // sessions it has go on.
  platform::stopTlsRelay(m_relay);
  m_relay = nullptr;
  m_workers->drain();
  takeFinishedLogins();
  answerDueRefusals(Clock::now(), true);
  m_refusals.flush(Clock::now() + std::chrono::seconds(1));
}
