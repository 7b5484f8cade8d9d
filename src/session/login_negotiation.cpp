// A login once its record is whole: the service switches and a method
// that refuses every login, answered by the loop at once; then, on a
// worker, authentication, the reply and the launch.
#include "daemon/vornd.h"
#include "platform/logon.h"
#include "session/login_screening.h"
#include "session/socket.h"

bool CVornD::screenRecord(ClientConnection& connection) {
  CSocket& client = *connection.client;
  // Each refusal here is answered at once.
  const auto answered = [&] {
    m_metrics.replyTime(ClientConnection::Clock::now() - connection.wholeAt);
    return false;
  };
  // A clear record where TLS is required: refused for that alone, before
  // anything else is looked at.
  if (!connection.tls && m_config.tlsMode() == TlsMode::Required) {
    logRefusal(connection.login, connection.peer, connection.source, RefusalReason::TlsRequired);
    refuseLogin(connection.login, client);
    client.Close();
    return answered();
  }
  const char* refusal = screeningRefusal(connection.login, m_config);
  if (refusal != nullptr) {
    client.Send(kLoginRefused, 2);
    client.Close();
    m_log.entry() << refusal;
    logRefusal(connection.login, connection.peer, connection.source, RefusalReason::ServiceSwitches);
    return answered();
  }
  // A method that refuses every login needs neither the system nor an
  // engine: its answer is given here, at once.
  if (m_config.AuthenticationMethod == "HTPassword") {
    logRefusal(connection.login, connection.peer, connection.source, RefusalReason::MethodRefusesAll);
    refuseLogin(connection.login, client);
    client.Close();
    return answered();
  }
  // An address blocked for its failures is refused whatever it sends:
  // the loop answers it at once, with no worker and no check.
  if (refusesEverything(connection.source)) {
    logRefusal(connection.login, connection.peer, connection.source, RefusalReason::TooManyFailures);
    refuseLogin(connection.login, client);
    client.Close();
    return answered();
  }
  return true;
}

bool CVornD::refusesEverything(const platform::NetAddress& source) {
  return checksLogons() && m_failureLimits && m_failureLimits->blocked(source);
}

void CVornD::refuseBlocked(ClientConnection& connection) {
  const bool whole = connection.received == netLogin::kSize;
  m_refusals.write(connection.source,
                   loginRefusedText(whole ? connection.login.user() : "?", connection.peer,
                                    RefusalReason::TooManyFailures));
  m_metrics.loginRefused(RefusalReason::TooManyFailures);
  refuseLogin(connection.login, *connection.client);
}

bool CVornD::checksLogons() const {
  const std::string& method = m_config.AuthenticationMethod;
  return method != "HTPassword" && method != "Vorn";
}

void CVornD::prepareLogin(LoginJob& job) {
  // A method that accepts every login answers here too; the worker has
  // only the launch left to do.
  if (m_config.AuthenticationMethod != "Vorn") return;
  logAccepted(job);
  job.answered = acceptLogin(job.login, *job.client);
  m_metrics.replyTime(LoginJob::Clock::now() - job.wholeAt);
}

LoginWorkers::JobEnd CVornD::completeLogin(LoginJob& job) {
  platform::LogonToken token = nullptr;
  // The reply counts the login, served or rejected.
  const bool answered = job.answered;
  const bool accepted = answered || authenticateUser(job, token);
  if (!answered && !job.refuseAt) m_metrics.replyTime(LoginJob::Clock::now() - job.wholeAt);
  if (accepted) {
    if (startEngine(job.login, *job.client, token, job.peer, job.tls ? &*job.tls : nullptr,
                    job.proxied)) {
      m_metrics.engineStarted();
    } else {
      m_metrics.engineFailed();
      logRefusal(job.login, job.peer, job.source, RefusalReason::EngineNotStarted);
    }
    return LoginWorkers::JobEnd::Close;
  }
  if (token != nullptr) platform::closeLogonToken(token);
  // A refusal left for later keeps its connection for the loop.
  return job.refuseAt ? LoginWorkers::JobEnd::GiveBack : LoginWorkers::JobEnd::Close;
}

void CVornD::sendRefusal(LoginJob& job) {
  sendLoginReply(*job.client, false);
  m_metrics.replyTime(LoginJob::Clock::now() - job.wholeAt);
}
