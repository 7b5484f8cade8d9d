// The login check by the configured method, and the reply that tells the
// client its outcome.
#include <string>

#include "daemon/vornd.h"
#include "platform/logon.h"
#include "session/log_text.h"
#include "session/socket.h"

namespace {

constexpr int kReplySize = 2;

}  // namespace

bool CVornD::authenticateUser(const netLogin& login, CSocket& client) {
  const std::string& method = m_config.AuthenticationMethod;
  if (method == "HTPassword") return refuseLogin(login, client);
  if (method == "Vorn") return acceptLogin(login, client);
  return checkLogonUser(login, client);
}

bool CVornD::refuseLogin(const netLogin&, CSocket& client) {
  client.Send(kLoginRefused, kReplySize);
  return false;
}

bool CVornD::acceptLogin(const netLogin&, CSocket& client) {
  client.Send(kLoginAccepted, kReplySize);
  return true;
}

bool CVornD::checkLogonUser(const netLogin& login, CSocket& client) {
  // A token the last launch did not take must not leak.
  if (m_hLogonToken != nullptr) {
    platform::closeLogonToken(m_hLogonToken);
    m_hLogonToken = nullptr;
  }
  const std::string user = login.user();
  if (platform::logonUser(user, login.password(), m_hLogonToken)) {
    // Only the exact method starts the engine as the user; any other
    // spelling launches as for "Vorn" and has no use for the token.
    if (m_config.AuthenticationMethod != "LogonUser") {
      platform::closeLogonToken(m_hLogonToken);
      m_hLogonToken = nullptr;
    }
    client.Send(kLoginAccepted, kReplySize);
    if (m_config.LogAllEvents) m_log.entry() << "LogonUser ok";
    return true;
  }

  const platform::ErrorCode code = platform::lastError();
  m_log.entry() << "LogonUser failed for user " << printableText(user) << " : "
                << withoutFinalLineBreak(FormatErrorText(code));
  ReportFailure("LogonUser failed", true, code);
  client.Send(kLoginRefused, kReplySize);
  return false;
}
