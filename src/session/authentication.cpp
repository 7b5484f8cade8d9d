// The login check by the configured method, and the reply that tells the
// client its outcome.
#include <string>

#include "daemon/vornd.h"
#include "platform/logon.h"
#include "session/log_text.h"
#include "session/socket.h"

namespace {

constexpr int kReplySize = 2;
// A check still running after this long is given up on and refused.
constexpr std::uint32_t kLogonBoundMs = 30000;

}  // namespace

bool CVornD::authenticateUser(const netLogin& login, CSocket& client,
                              platform::LogonToken& token) {
  token = nullptr;
  const std::string& method = m_config.AuthenticationMethod;
  if (method == "HTPassword") return refuseLogin(login, client);
  if (method == "Vorn") return acceptLogin(login, client);
  return checkLogonUser(login, client, token);
}

bool CVornD::sendLoginReply(CSocket& client, bool accepted) {
  // Counted before the client can know: a page it asks for next counts it.
  ++(accepted ? m_nClientsServed : m_nClientsRejected);
  client.Send(accepted ? kLoginAccepted : kLoginRefused, kReplySize);
  return accepted;
}

bool CVornD::refuseLogin(const netLogin&, CSocket& client) { return sendLoginReply(client, false); }

bool CVornD::acceptLogin(const netLogin&, CSocket& client) { return sendLoginReply(client, true); }

bool CVornD::checkLogonUser(const netLogin& login, CSocket& client,
                            platform::LogonToken& token) {
  token = nullptr;
  const std::string user = login.user();
  if (platform::logonUser(user, login.password(), token, kLogonBoundMs)) {
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
  return sendLoginReply(client, false);
}
