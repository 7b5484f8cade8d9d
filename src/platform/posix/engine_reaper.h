// Reaps the processes the daemon starts, as soon as each one ends, without
// waiting for any of them and without touching other children (a logon
// child is waited for by the logon that started it; a wait for any child,
// or SIGCHLD ignored, would take its status away).
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace platform::posix {

// Takes a started child: it is reaped when it ends. The reaping thread
// starts with the first child.
void adoptEngine(pid_t pid);

// Children adopted and not reaped yet.
std::size_t enginesNotReaped();

}  // namespace platform::posix
