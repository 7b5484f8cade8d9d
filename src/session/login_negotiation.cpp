// One connection, from accept to hand-over: the status page for a browser,
// otherwise the login record, the service switches, authentication and the
// reply.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "daemon/vornd.h"
#include "platform/net.h"
#include "session/login_screening.h"
#include "session/socket.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int64_t kLongestWaitMs = 24 * 60 * 60 * 1000;

enum class ReadResult { Complete, Closed, TimedOut };

// Reads exactly count bytes before the deadline. The deadline lives in the
// wait: a client that sends nothing holds the daemon's only thread for no
// longer than the time it was given.
ReadResult receiveBefore(CSocket& client, char* buffer, int count, Clock::time_point deadline) {
  int received = 0;
  while (received < count) {
    // What has arrived is taken at once; only then is there a wait.
    const int got = platform::receiveReady(client.Handle(), buffer + received, count - received);
    if (got > 0) {
      received += got;
      continue;
    }
    if (got == 0 || platform::lastSocketError() != platform::kWsaWouldBlock) {
      return ReadResult::Closed;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return ReadResult::TimedOut;
    // A bound of years does not fit the wait's 32 bits of milliseconds
    // (and near the top of them reads as "no limit"): wait a day at most
    // and look at the clock again.
    const int ready = platform::waitUntilReadable(
        client.Handle(), static_cast<std::uint32_t>(std::min<std::int64_t>(left, kLongestWaitMs)));
    if (ready < 0) return ReadResult::Closed;
  }
  return ReadResult::Complete;
}

std::uint32_t positiveOr(std::int32_t value, std::uint32_t fallback) {
  return value > 0 ? static_cast<std::uint32_t>(value) : fallback;
}

}  // namespace

void CVornD::negotiateLogin() {
  const platform::SocketHandle accepted = platform::acceptSocket(m_listenSocket, nullptr);
  if (accepted == platform::kInvalidSocket) {
    ReportFailure("accept failed to complete", true, platform::lastSocketError());
    return;
  }
  if (!platform::cancelEventSelection(accepted, m_hAcceptEvent)) {
    ReportFailure("WSAEventSelect failed trying to configure client socket", true,
                  platform::lastSocketError());
  } else if (!platform::setBlocking(accepted, true)) {
    ReportFailure("ioctlsocket failed trying to configure client socket", true,
                  platform::lastSocketError());
  }
  if (m_config.SockNoDelay) platform::setNoDelay(accepted, true);
  if (m_config.TCPEnableKeepAlive) {
    // Switches keep-alive on, with its timing.
    platform::setKeepAliveTiming(accepted, positiveOr(m_config.TCPKeepIdle, 300),
                                 positiveOr(m_config.TCPKeepInterval, 60),
                                 positiveOr(m_config.TCPKeepCount, 8));
  }
  if (m_config.LogAllEvents) m_log.entry() << "negotiateLogin - connected to client";

  CSocket client(accepted);
  netLogin login;
  const std::uint32_t seconds = positiveOr(m_config.SockReceiveTimeout, 5);
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);

  ReadResult read = receiveBefore(client, login.bytes, 6, deadline);
  if (read == ReadResult::Complete && std::memcmp(login.bytes, "GET", 3) == 0) {
    if (m_config.LogAllEvents) m_log.entry() << "Got HTTP request";
    sendStatusPage(client);
    return;
  }
  if (read == ReadResult::Complete) {
    read = receiveBefore(client, login.bytes + 6, static_cast<int>(netLogin::kSize) - 6, deadline);
  }
  // A record that did not arrive whole is neither screened nor answered
  // nor counted.
  if (read == ReadResult::TimedOut) {
    m_log.entry() << "negotiateLogin - no complete login record within " << seconds
                  << " seconds - connection closed";
    return;
  }
  if (read == ReadResult::Closed) {
    if (m_config.LogAllEvents) {
      m_log.entry() << "negotiateLogin - connection closed before the login record was complete";
    }
    return;
  }
  if (m_config.LogAllEvents) m_log.entry() << "negotiateLogin - netLogin assembly complete";

  const char* refusal = screeningRefusal(login, m_config);
  if (refusal != nullptr) {
    client.Send(kLoginRefused, 2);
    client.Close();
    m_log.entry() << refusal;
    return;
  }

  if (authenticateUser(login, client)) {
    ++m_nClientsServed;
    startEngine(login, client);
  } else {
    ++m_nClientsRejected;
    client.Close();
  }
}
