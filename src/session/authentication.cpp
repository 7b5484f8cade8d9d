// The login check by the configured method, and the reply that tells the
// client its outcome.
#include <string>

#include "daemon/vornd.h"
#include "platform/logon.h"
#include "platform/wipe.h"
#include "platform/address_text.h"
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
    logRefusal(job.login, job.peer, job.source, RefusalReason::MethodRefusesAll);
    return refuseLogin(job.login, *job.client);
  }
  if (method == "Vorn") {
    logAccepted(job);
    return acceptLogin(job.login, *job.client);
  }
  return checkLogonUser(job, token);
}

void CVornD::logRefusal(const netLogin& login, const platform::Endpoint& peer,
                        const platform::NetAddress& source, RefusalReason reason, const std::string& systemError) {
  m_metrics.loginRefused(reason);
  const std::string warning = loginRefusedText(login.user(), peer, reason);
  if (systemError.empty()) {
    m_refusals.write(source, warning);
    return;
  }
  m_refusals.write(source, {{platform::EventType::Error, systemError},
                                  {platform::EventType::Warning, warning}});
}

void CVornD::logAccepted(const LoginJob& job) {
  m_acceptedLines.write(job.source,
                        {{platform::EventType::Information,
                          loginAcceptedText(job.login.user(), job.peer, m_config.AuthenticationMethod)}});
}

bool CVornD::sendLoginReply(CSocket& client, bool accepted) {
  // Counted before the client can know: a page it asks for next counts it.
  ++(accepted ? m_nClientsServed : m_nClientsRejected);
  if (accepted) m_metrics.loginAccepted();
  client.Send(accepted ? kLoginAccepted : kLoginRefused, kReplySize);
  return accepted;
}

bool CVornD::refuseLogin(const netLogin&, CSocket& client) { return sendLoginReply(client, false); }

bool CVornD::acceptLogin(const netLogin&, CSocket& client) { return sendLoginReply(client, true); }

bool CVornD::checkLogonUser(LoginJob& job, platform::LogonToken& token) {
  token = nullptr;
  const netLogin& login = job.login;
  CSocket& client = *job.client;
  // An address that failed too often, or whose checks under way already
  // reach the limit, is not asked about at all.
  using Limits = LoginFailureLimits;
  const Limits::Admission admission = m_failureLimits
                                          ? m_failureLimits->beginCheck(job.source)
                                          : Limits::Admission::Uncounted;
  if (admission == Limits::Admission::Refused) {
    logRefusal(login, job.peer, job.source, RefusalReason::TooManyFailures);
    return sendLoginReply(client, false);
  }
  const auto endCheck = [&](Limits::Outcome outcome) {
    if (m_failureLimits) m_failureLimits->endCheck(job.source, admission, outcome);
  };
  const std::string user = login.user();
  platform::LogonPacing pacing;
  const platform::WipedText password{login.password()};
  if (platform::logonUser(user, password.text, token, kLogonBoundMs, &pacing,
                          addressText(job.peer.address))) {
    endCheck(Limits::Outcome::NoGuess);
    // Only the exact method starts the engine as the user; any other
    // spelling launches as for "Vorn" and has no use for the token.
    if (m_config.AuthenticationMethod != "LogonUser") {
      platform::closeLogonToken(token);
      token = nullptr;
    }
    // Logged before the reply: a client that has its answer finds the line.
    logAccepted(job);
    sendLoginReply(client, true);
    if (m_config.LogAllEvents) m_log.entry() << "LogonUser ok";
    return true;
  }

  const platform::ErrorCode code = platform::lastError();
  // Only a refused name or password counts towards the limit: the other
  // refusals are the system's, not a guess.
  endCheck(code == platform::kErrorLogonFailure ? Limits::Outcome::WrongGuess
                                                : Limits::Outcome::NoGuess);
  m_log.entry() << "LogonUser failed for user " << printableText(user) << " : "
                << withoutFinalLineBreak(FormatErrorText(code));
  // The event log has the system's text with the refusal's warning, under
  // the cap of the client's lines; the debugger output has it always.
  ReportFailure("LogonUser failed", false, code);
  const std::string systemError = FailureText("LogonUser failed", code);
  if (code == platform::kErrorTimeout) {
    logRefusal(login, job.peer, job.source, RefusalReason::CheckTooLong, systemError);
    return sendLoginReply(client, false);
  }
  logRefusal(login, job.peer, job.source, RefusalReason::WrongCredentials, systemError);
  // The answer goes no sooner than the check asked, counted from the
  // record's arrival; the loop sends it when it is due.
  const auto due = job.recordAt + m_failurePacing.delayFor(pacing);
  if (due > LoginJob::Clock::now()) {
    job.refuseAt = due;
    return false;
  }
  return sendLoginReply(client, false);
}
