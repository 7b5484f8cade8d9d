#include "platform/logon.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/error.h"
#include "platform/posix/logon_child.h"
#include "platform/posix/logon_posix.h"
#include "platform/posix/logon_wire.h"

namespace platform {

namespace {

// Here, in the same object as logonUser, so that every program that can
// start a logon child is also one that serves as one. It runs before the
// program's own static objects are built (they are none of the child's
// business) and never returns into main.
[[gnu::constructor(101)]] void serveAsLogonChild() {
  if (std::getenv(posix::kLogonChildMarker) != nullptr) {
    _exit(posix::serveLogonChild(posix::kLogonChannel));
  }
}

}  // namespace

bool logonUser(const std::string& user, const std::string& password, LogonToken& token,
               std::uint32_t timeoutMs, LogonPacing* pacing, const std::string& clientAddress) {
  token = nullptr;
  if (pacing != nullptr) *pacing = LogonPacing{};
  // An empty name would make PAM ask for one; there is none to give. A
  // name or password longer than any account store takes is refused as
  // any wrong one is.
  if (user.empty() || user.size() > posix::kMaximumLogonField ||
      password.size() > posix::kMaximumLogonField ||
      clientAddress.size() > posix::kMaximumLogonField) {
    // No account has such a name, and its answer is paced as an unknown
    // one's.
    if (pacing != nullptr) pacing->unknownAccount = true;
    setLastError(kErrorLogonFailure);
    return false;
  }
  std::string request = posix::encodeLogonRequest(user, password, clientAddress);
  posix::LogonReply reply;
  const bool answered = posix::askLogonChild(request, timeoutMs, reply);
  explicit_bzero(request.data(), request.size());
  if (!answered) return false;
  if (reply.error != kErrorSuccess) {
    if (pacing != nullptr) *pacing = reply.pacing;
    setLastError(reply.error);
    return false;
  }
  token = new LogonTokenImpl(std::move(reply.account));
  return true;
}

void closeLogonToken(LogonToken token) { delete token; }

}  // namespace platform
