// The PAM conversation itself and the account read after it. Run only in a
// logon child (see logon.cpp): PAM and the modules it loads are not made
// for several conversations at once in one process.
#pragma once

#include <string>

#include "platform/posix/logon_wire.h"

namespace platform::posix {

// The verdict on a name and password: an error code (as LogonUser would
// give it) or the account's ids and groups.
LogonReply checkLogon(const std::string& user, const std::string& password);

}  // namespace platform::posix
