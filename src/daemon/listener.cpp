// The listening socket: created, bound and listening, or bound later.
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
  // The connection loop's wait watches the listener from the start; an
  // accept with nothing waiting must fail at once, not hang.
  m_socketWait = platform::createSocketWait();
  if (m_socketWait == nullptr ||
      !platform::watchSocket(m_socketWait, m_listenSocket) ||
      !platform::setBlocking(m_listenSocket, false)) {
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
  if (!platform::bindSocket(m_listenSocket, local)) {
    m_bindError = platform::lastSocketError();
    return false;
  }
  platform::listenSocket(m_listenSocket, platform::kMaximumBacklog);
  m_bListening = true;
  return true;
}

bool CVornD::retryBind() {
  ++m_nBindRetries;
  if (!bindListener()) {
    m_dwBindRetryMs = std::min(m_dwBindRetryMs * 2, kLastBindRetryMs);
    m_nextBindAttempt = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_dwBindRetryMs);
    reportWaitingForPort();
    return false;
  }
  m_dwBindRetryMs = 0;
  reportListening();
  WriteEventLog("Listener socket bound to requested port " + std::to_string(listenPort()) +
                    " after " + std::to_string(m_nBindRetries + 1) + " attempts",
                false);
  if (m_config.LogAllEvents) {
    m_log.entry() << "createListener complete - listening on port " << m_config.SockPort;
  }
  return true;
}

void CVornD::reportWaitingForPort() {
  // The hint covers the pause before the next attempt, and some.
  const std::uint32_t hint = std::max(m_dwBindRetryMs, kFirstBindRetryMs) + 5000;
  SetStatus(platform::kServiceStartPending, ++m_dwStartCheckPoint, hint, platform::kAcceptStop, 0,
            0);
  std::string text = "waiting for port " + std::to_string(listenPort());
  if (m_dwBindRetryMs == 0) {
    // Nothing is tried again: port 0 is no port, or there is no socket.
    // The instance serves nothing until its configuration is mended and
    // it is started again, and never reports running meanwhile.
    text = listenPort() == 0 ? "listening on nothing: the configured port is no port"
                             : "listening on nothing: the listener could not be made";
  } else if (m_bindError == platform::kWsaAddressInUse) {
    text += ", held by another program";
  } else if (m_bindError != 0) {
    text += ": " + FormatErrorText(m_bindError);
  }
  platform::setServiceStatusText(m_hServiceStatus, text);
}

void CVornD::reportListening() {
  platform::setServiceStatusText(m_hServiceStatus, "");
  SetStatus(platform::kServiceRunning, 0, 0, platform::kAcceptStop | platform::kAcceptPauseContinue,
            0, 0);
}
