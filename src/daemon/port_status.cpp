// What the service manager and the administrator are told about the port:
// running only once it is listened on; start pending, saying what it
// waits for, while another program holds it.
#include <algorithm>
#include <string>

#include "daemon/vornd.h"
#include "platform/debug_output.h"
#include "platform/service_manager.h"

void CVornD::portBound(const Listener& listener) {
  // Running once every listen address is bound.
  if (m_loop->listening()) reportListening();
  WriteEventLog("Listener socket bound to requested port " + std::to_string(listener.port()) +
                    " after " + std::to_string(listener.attempts()) + " attempts",
                false);
}

void CVornD::portWaiting(const Listener&) { reportWaitingForPort(); }

void CVornD::reportWaitingForPort() {
  const Listener* waiting = m_loop->waitingListener();
  if (waiting == nullptr) {
    // No address to listen on: the list did not parse (reported).
    SetStatus(platform::kServiceStartPending, ++m_dwStartCheckPoint, Listener::kFirstRetryMs + 5000,
              platform::kAcceptStop, 0, 0);
    platform::setServiceStatusText(m_hServiceStatus,
                                   "listening on nothing: the listen addresses do not parse");
    return;
  }
  const Listener& listener = *waiting;
  // The hint covers the pause before the next attempt, and some.
  const std::uint32_t hint = std::max(listener.retryMs(), Listener::kFirstRetryMs) + 5000;
  SetStatus(platform::kServiceStartPending, ++m_dwStartCheckPoint, hint, platform::kAcceptStop, 0,
            0);
  std::string text = "waiting for port " + std::to_string(listener.port());
  if (!listener.retrying()) {
    // Nothing is tried again: port 0 is no port, or there is no socket.
    // The instance serves nothing until its configuration is mended and
    // it is started again, and never reports running meanwhile.
    text = listener.port() == 0 ? "listening on nothing: the configured port is no port"
                                : "listening on nothing: the listener could not be made";
  } else if (listener.bindError() == platform::kWsaAddressInUse) {
    text += ", held by another program";
  } else if (listener.bindError() != 0) {
    text += ": " + FormatErrorText(listener.bindError());
  }
  platform::setServiceStatusText(m_hServiceStatus, text);
}

void CVornD::reportListening() {
  platform::setServiceStatusText(m_hServiceStatus, "");
  SetStatus(platform::kServiceRunning, 0, 0, platform::kAcceptStop | platform::kAcceptPauseContinue,
            0, 0);
}

void CVornD::reportFailure(const char* operation, platform::ErrorCode code) {
  ReportFailure(operation, true, code);
}

void CVornD::reportWarning(const std::string& text) {
  platform::debugOutput(text);
  WriteEventLog(text, platform::EventType::Warning);
}

void CVornD::reportInformation(const std::string& text) {
  WriteEventLog(text, platform::EventType::Information);
}

bool CVornD::waitOnControl(std::uint32_t ms) {
  // A pause on a control event that cannot be waited on is slept in
  // slices this long, with the stop and pause flags looked at between.
  constexpr std::uint32_t kFlagLookMs = 50;
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
