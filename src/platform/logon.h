// The system's logon: a user name and password checked, and a token that
// a process can later be started under.
//
// Windows: LogonUser (interactive logon, default provider), on a thread of
// its own when the wait is bounded. POSIX: PAM with the service name
// "vornd" (pam_authenticate, then pam_acct_mgmt), each conversation in a
// child process of its own (the daemon's executable started afresh), since
// PAM modules may keep state of the whole process; the child sends back the
// verdict and the account's uid, gid and supplementary groups, which the
// token holds. A child that overruns the bound is killed. The delay that
// PAM asks for after a failure is not slept: it comes back with the
// verdict, for the caller to keep without holding a thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/sync.h"

namespace platform {

struct LogonTokenImpl;
using LogonToken = LogonTokenImpl*;  // null: no token

// How the answer to a failed logon should be paced, as the system's check
// asked. Windows asks nothing (LogonUser keeps its own timing).
struct LogonPacing {
  // The check asked for a delay before a failure is told, of delayMs.
  bool delayAsked = false;
  std::uint32_t delayMs = 0;
  // The name is no account of the system's.
  bool unknownAccount = false;
};

// False with the last error set: 1326 for an unknown user or a wrong
// password, 1460 when the check took longer than timeoutMs (it is then
// abandoned, and nothing of it is left behind), other codes for what else
// the system refuses. clientAddress is where the client logs on from
// (dotted text; empty: not told), for the system's check to decide by and
// to record: PAM gets it as PAM_RHOST; LogonUser has no use for it. The
// token is of the account the check settled on, which may not be the one
// typed (PAM's modules may map names). Safe to call from several threads
// at once.
bool logonUser(const std::string& user, const std::string& password, LogonToken& token,
               std::uint32_t timeoutMs = kInfinite, LogonPacing* pacing = nullptr,
               const std::string& clientAddress = std::string());
void closeLogonToken(LogonToken token);

}  // namespace platform
