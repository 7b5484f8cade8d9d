// A logon child: the daemon's own executable started afresh to hold one PAM
// conversation and end. The daemon starts it with the marker in its
// environment and one end of a socket pair on kLogonChannel; the name and
// password come over the socket, never on a command line or in the
// environment, and the verdict goes back the same way (logon_wire.h).
//
// The code in logon.cpp that every program calling logonUser links looks
// for the marker before main() runs, so no program's main has a part in
// this, and a program started with the marker does nothing but this.
#pragma once

#include <cstdint>
#include <string>

#include "platform/posix/logon_wire.h"

namespace platform::posix {

inline constexpr const char* kLogonChildMarker = "VORND_LOGON_CHILD";
inline constexpr int kLogonChannel = 3;

// The child's side: reads one request from the channel, answers it, and
// gives the status to _exit with (0 when an answer went back).
int serveLogonChild(int channel);

// The daemon's side: starts a child, hands it the request and waits at
// most timeoutMs (kInfinite: no bound) for the reply. The child is reaped
// before this returns, killed first when it did not answer in time or
// answered nothing sensible. False with the last error set: 1460 for the
// time running out, 1067 for a child that ended without a full answer,
// 13 for one whose answer was malformed, errno's code when no child could
// be started.
bool askLogonChild(const std::string& request, std::uint32_t timeoutMs, LogonReply& reply);

}  // namespace platform::posix
