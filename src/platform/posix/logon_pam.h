// The PAM conversation itself and the account read after it. Run only in a
// logon child (see logon.cpp): PAM and the modules it loads are not made
// for several conversations at once in one process.
#pragma once

#include <string>

#include "platform/posix/logon_wire.h"

namespace platform::posix {

// The verdict on a name and password from a client at clientAddress
// (dotted text; empty: not told): an error code (as LogonUser would give
// it) or the ids and groups of the account the stack settled on.
LogonReply checkLogon(const std::string& user, const std::string& password,
                      const std::string& clientAddress);

}  // namespace platform::posix
