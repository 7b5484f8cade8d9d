// The listening socket and the wait loop that hands each connection on.
#include <algorithm>

#include "daemon/vornd.h"
#include "platform/net.h"

void CVornD::createListener() {
  m_listenSocket = platform::createTcpSocket();
  if (m_listenSocket == platform::kInvalidSocket) {
    ReportFailure("Can't create listener socket", true, platform::lastSocketError());
  }
  platform::Ipv4Endpoint local;
  local.address = platform::kAnyAddress;
  local.port = static_cast<std::uint16_t>(m_config.SockPort & 0xFFFF);
  platform::setReuseAddress(m_listenSocket, true);
  if (platform::bindSocket(m_listenSocket, local)) {
    platform::listenSocket(m_listenSocket, 5);
  } else {
    // Without the bind there is nothing to listen on: a listen now would
    // open some other port. The daemon serves nobody until it is stopped.
    ReportFailure("Can't bind listener socket to requested port", true,
                  platform::lastSocketError());
  }
  m_hAcceptEvent = platform::createAcceptEvent();
  if (!platform::selectAcceptEvent(m_listenSocket, m_hAcceptEvent)) {
    ReportFailure("Can't associate event with listener socket", true, platform::lastSocketError());
  }
  if (m_config.LogAllEvents) {
    m_log.entry() << "createListener complete - listening on port " << m_config.SockPort;
  }
}

void CVornD::handleClients() {
  m_log.entry() << "handleClients - starting";
  // After a failed wait the next full wait comes only after a pause on
  // scmEvent alone, growing while the failures go on: a wait that cannot
  // work (no listener, no event) never spins, and a stop still ends it.
  std::uint32_t pauseMs = 0;
  for (;;) {
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
