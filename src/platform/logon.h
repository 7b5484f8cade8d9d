// The system's logon: a user name and password checked, and a token that
// a process can later be started under.
//
// Windows: LogonUser (interactive logon, default provider). POSIX: PAM with
// the service name "vornd" (pam_authenticate, then pam_acct_mgmt); the
// token holds the account's uid, gid and supplementary groups. PAM's delay
// after a failure is switched off: the daemon has one thread, and a
// failed login must not hold up the clients behind it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/sync.h"

namespace platform {

struct LogonTokenImpl;
using LogonToken = LogonTokenImpl*;  // null: no token

// False with the last error set: 1326 for an unknown user or a wrong
// password, 1460 when the check took longer than timeoutMs (it is then
// abandoned, and nothing of it is left behind), other codes for what else
// the system refuses. Safe to call from several threads at once.
bool logonUser(const std::string& user, const std::string& password, LogonToken& token,
               std::uint32_t timeoutMs = kInfinite);
void closeLogonToken(LogonToken token);

}  // namespace platform
