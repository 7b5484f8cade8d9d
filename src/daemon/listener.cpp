// The listening socket and the wait loop that hands each connection on.
#include <algorithm>
#include <chrono>
#include <string>

#include "daemon/vornd.h"
#include "platform/net.h"

void CVornD::createListener() {
  m_listenSocket = platform::createTcpSocket();
  if (m_listenSocket == platform::kInvalidSocket) {
    ReportFailure("Can't create listener socket", true, platform::lastSocketError());
  }
  platform::setReuseAddress(m_listenSocket, true);
  const bool listening = bindListener();
  if (!listening) {
    // Without the bind there is nothing to listen on: a listen now would
    // open some other port. Port 0 is no port (the system would pick one
    // nobody knows); any other port is tried again from the wait loop.
    ReportFailure("Can't bind listener socket to requested port", true,
                  listenPort() == 0 ? platform::kWsaAddressNotAvailable
                                    : platform::lastSocketError());
    if (listenPort() != 0 && m_listenSocket != platform::kInvalidSocket) {
      m_dwBindRetryMs = kFirstBindRetryMs;
      m_nextBindAttempt = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_dwBindRetryMs);
    }
  }
  m_hAcceptEvent = platform::createAcceptEvent();
  if (!platform::selectAcceptEvent(m_listenSocket, m_hAcceptEvent)) {
    ReportFailure("Can't associate event with listener socket", true, platform::lastSocketError());
  }
  if (listening && m_config.LogAllEvents) {
    m_log.entry() << "createListener complete - listening on port " << m_config.SockPort;
  }
}

std::uint16_t CVornD::listenPort() const {
  return static_cast<std::uint16_t>(m_config.SockPort & 0xFFFF);
}

bool CVornD::bindListener() {
  if (m_listenSocket == platform::kInvalidSocket || listenPort() == 0) return false;
  platform::Ipv4Endpoint local;
  local.address = platform::kAnyAddress;
  local.port = listenPort();
  if (!platform::bindSocket(m_listenSocket, local)) return false;
  platform::listenSocket(m_listenSocket, 5);
  return true;
}

bool CVornD::retryBind() {
  ++m_nBindRetries;
  if (!bindListener()) {
    m_dwBindRetryMs = std::min(m_dwBindRetryMs * 2, kLastBindRetryMs);
    m_nextBindAttempt = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_dwBindRetryMs);
    return false;
  }
  m_dwBindRetryMs = 0;
  // The accept event learns of the listening socket only now.
  if (!platform::selectAcceptEvent(m_listenSocket, m_hAcceptEvent)) {
    ReportFailure("Can't associate event with listener socket", true, platform::lastSocketError());
  }
  WriteEventLog("Listener socket bound to requested port " + std::to_string(listenPort()) +
                    " after " + std::to_string(m_nBindRetries + 1) + " attempts",
                false);
  if (m_config.LogAllEvents) {
    m_log.entry() << "createListener complete - listening on port " << m_config.SockPort;
  }
  return true;
}

void CVornD::handleClients() {
  m_log.entry() << "handleClients - starting";
  // After a failed wait the next full wait comes only after a pause on
  // scmEvent alone, growing while the failures go on: a wait that cannot
  // work (no listener, no event) never spins, and a stop still ends it.
  std::uint32_t pauseMs = 0;
  for (;;) {
    // A port another program held at start-up: nothing to wait for on the
    // network until the bind succeeds, only for scmEvent.
    if (m_dwBindRetryMs != 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          m_nextBindAttempt - std::chrono::steady_clock::now());
      if (left.count() > 0 &&
          platform::waitForEvent(m_hScmEvent, static_cast<std::uint32_t>(left.count())) == 0) {
        m_log.entry() << "handleClients - scmEvent fired";
        return;
      }
      if (std::chrono::steady_clock::now() >= m_nextBindAttempt) retryBind();
      continue;
    }
    if (pauseMs != 0 && platform::waitForEvent(m_hScmEvent, pauseMs) == 0) {
      m_log.entry() << "handleClients - scmEvent fired";
      return;
    }
    if (m_config.LogAllEvents) m_log.entry() << "handleClients - waiting";
    const std::uint32_t result = platform::waitForControlOrConnection(m_hScmEvent, m_hAcceptEvent);
    switch (result) {
      case 0:
        // The wait consumed the auto-reset event: reset is implied.
        m_log.entry() << "handleClients - scmEvent fired";
        return;
      case 1:
        if (m_config.LogAllEvents) m_log.entry() << "handleClients - client connection detected";
        platform::resetAcceptEvent(m_hAcceptEvent);
        negotiateLogin();
        pauseMs = 0;
        break;
      case platform::kWaitIoCompletion:
        m_log.entry() << "handleClients - WSA_WAIT_IO_COMPLETION";
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
  }
}
