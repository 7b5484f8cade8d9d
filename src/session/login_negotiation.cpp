// One connection, from its first bytes to hand-over: the status page for a
// browser, otherwise the login record, the service switches, and then, on
// a worker, authentication, the reply and the launch.
#include <cstdint>
#include <cstring>

#include "daemon/vornd.h"
#include "platform/logon.h"
#include "platform/net.h"
#include "platform/socket_wait.h"
#include "session/login_screening.h"
#include "session/socket.h"

namespace {

// A request is told from a record by its first bytes.
constexpr std::size_t kRequestStart = 6;

}  // namespace

bool CVornD::progressRecord(ClientConnection& connection) {
  CSocket& client = *connection.client;
  char* const record = connection.login.bytes;
  // What has arrived is taken at once; the loop waits for the rest.
  while (connection.received < netLogin::kSize) {
    const std::size_t before = connection.received;
    const int got = platform::receiveReady(client.Handle(), record + before,
                                           static_cast<int>(netLogin::kSize - before));
    if (got < 0 && platform::lastSocketError() == platform::kWsaWouldBlock) return true;
    if (got <= 0) {
      // A record that did not arrive whole is neither screened nor
      // answered nor counted.
      if (m_config.LogAllEvents) {
        m_log.entry() << "negotiateLogin - connection closed before the login record was complete";
      }
      client.Close();
      return false;
    }
    connection.received += static_cast<std::size_t>(got);
    if (before < kRequestStart && connection.received >= kRequestStart &&
        std::memcmp(record, "GET", 3) == 0) {
      if (m_config.LogAllEvents) m_log.entry() << "Got HTTP request";
      beginStatusPage(connection);
      return progressStatusPage(connection);
    }
  }
  if (m_config.LogAllEvents) m_log.entry() << "negotiateLogin - netLogin assembly complete";
  screenAndHandOver(connection);
  return false;
}

void CVornD::screenAndHandOver(ClientConnection& connection) {
  CSocket& client = *connection.client;
  const char* refusal = screeningRefusal(connection.login, m_config);
  if (refusal != nullptr) {
    client.Send(kLoginRefused, 2);
    client.Close();
    m_log.entry() << refusal;
    logRefusal(connection.login, connection.peer, RefusalReason::ServiceSwitches);
    return;
  }
  // A method that refuses every login needs neither the system nor an
  // engine: its answer is given here, at once.
  if (m_config.AuthenticationMethod == "HTPassword") {
    logRefusal(connection.login, connection.peer, RefusalReason::MethodRefusesAll);
    refuseLogin(connection.login, client);
    client.Close();
    return;
  }
  // The engine gets the connection as a blocking socket that nothing else
  // waits on.
  if (!platform::unwatchSocket(m_socketWait, client.Handle())) {
    ReportFailure("WSAEventSelect failed trying to configure client socket", true,
                  platform::lastSocketError());
  } else if (!platform::setBlocking(client.Handle(), true)) {
    ReportFailure("ioctlsocket failed trying to configure client socket", true,
                  platform::lastSocketError());
  }
  LoginJob job;
  // A method that accepts every login answers here too; the worker has
  // only the launch left to do.
  job.answered = m_config.AuthenticationMethod == "Vorn" && acceptLogin(connection.login, client);
  job.client = std::move(connection.client);
  job.login = connection.login;
  job.peer = connection.peer;
  job.recordAt = ClientConnection::Clock::now();
  connection.handedOver = true;
  ++m_nHandedOver;
  m_workers->submit(std::move(job));
}

void CVornD::completeLogin(LoginJob& job) {
  platform::LogonToken token = nullptr;
  // The reply counts the login, served or rejected.
  if (job.answered || authenticateUser(job, token)) {
    if (!startEngine(job.login, *job.client, token)) {
      logRefusal(job.login, job.peer, RefusalReason::EngineNotStarted);
    }
  } else {
    if (token != nullptr) platform::closeLogonToken(token);
    // A refusal left for later keeps its connection for the loop.
    if (!job.refuseAt) job.client->Close();
  }
}
