// Paths.
#pragma once

#include <string>

namespace platform {

// The separator of path components: '\' on Windows, '/' on POSIX.
char pathSeparator();

// The folder a log goes to when none is configured, ending in the
// separator: "c:\" on Windows, $VORND_ROOT/log/ on POSIX (created when
// missing).
std::string defaultLogDirectory();

}  // namespace platform
