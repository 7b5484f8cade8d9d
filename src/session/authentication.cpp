// The login check by the configured method, and the reply that tells the
// client its outcome.
#include <string>

#include "daemon/vornd.h"
#include "platform/logon.h"
#include "platform/wipe.h"
#include "session/log_text.h"
#include "session/socket.h"

namespace {

constexpr int kReplySize = 2;
// A check still running after this long is given up on and refused.
constexpr std::uint32_t kLogonBoundMs = 30000;

}  // namespace

bool CVornD::authenticateUser(LoginJob& job, platform::LogonToken& token) {
  token = nullptr;
  const std::string& method = m_config.AuthenticationMethod;
  if (method == "HTPassword") {
    logRefusal(job.login, job.peer, RefusalReason::MethodRefusesAll);
    return refuseLogin(job.login, *job.client);
  }
  if (method == "Vorn") return acceptLogin(job.login, *job.client);
  return checkLogonUser(job, token);
}

void CVornD::logRefusal(const netLogin& login, const platform::Ipv4Endpoint& peer,
                        RefusalReason reason) {
  m_refusals.write(loginRefusedText(login.user(), peer, reason));
}

bool CVornD::sendLoginReply(CSocket& client, bool accepted) {
  // Counted before the client can know: a page it asks for next counts it.
  ++(accepted ? m_nClientsServed : m_nClientsRejected);
  client.Send(accepted ? kLoginAccepted : kLoginRefused, kReplySize);
  return accepted;
}

bool CVornD::refuseLogin(const netLogin&, CSocket& client) { return sendLoginReply(client, false); }

bool CVornD::acceptLogin(const netLogin&, CSocket& client) { return sendLoginReply(client, true); }

bool CVornD::checkLogonUser(LoginJob& job, platform::LogonToken& token) {
  token = nullptr;
  const netLogin& login = job.login;
  CSocket& client = *job.client;
  // An address that failed too often is not asked about at all.
  if (m_failureLimits && m_failureLimits->blocked(job.peer.address)) {
    logRefusal(login, job.peer, RefusalReason::TooManyFailures);
    return sendLoginReply(client, false);
  }
  const std::string user = login.user();
  platform::LogonPacing pacing;
  const platform::WipedText password{login.password()};
  if (platform::logonUser(user, password.text, token, kLogonBoundMs, &pacing,
                          dottedAddress(job.peer.address))) {
    // Only the exact method starts the engine as the user; any other
    // spelling launches as for "Vorn" and has no use for the token.
    if (m_config.AuthenticationMethod != "LogonUser") {
      platform::closeLogonToken(token);
      token = nullptr;
    }
    sendLoginReply(client, true);
    if (m_config.LogAllEvents) m_log.entry() << "LogonUser ok";
    return true;
  }

  const platform::ErrorCode code = platform::lastError();
  m_log.entry() << "LogonUser failed for user " << printableText(user) << " : "
                << withoutFinalLineBreak(FormatErrorText(code));
  ReportFailure("LogonUser failed", true, code);
  if (code == platform::kErrorTimeout) {
    logRefusal(login, job.peer, RefusalReason::CheckTooLong);
    return sendLoginReply(client, false);
  }
  // Only a refused name or password counts towards the limit: the other
  // refusals are the system's, not a guess.
  if (code == platform::kErrorLogonFailure && m_failureLimits) {
    m_failureLimits->recordFailure(job.peer.address);
  }
  logRefusal(login, job.peer, RefusalReason::WrongCredentials);
  // The answer goes no sooner than the check asked, counted from the
  // record's arrival; the loop sends it when it is due.
  const auto due = job.recordAt + m_failurePacing.delayFor(pacing);
  if (due > LoginJob::Clock::now()) {
    job.refuseAt = due;
    return false;
  }
  return sendLoginReply(client, false);
}
