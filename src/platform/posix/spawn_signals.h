// What a child the daemon starts with posix_spawn gets of signals: none
// blocked and every disposition back to its default (whatever the daemon
// ignores or handles), with the caller's other spawn flags.
#pragma once

#include <signal.h>
#include <spawn.h>

namespace platform::posix {

inline void resetChildSignals(posix_spawnattr_t& attributes, short otherFlags = 0) {
  sigset_t mask, defaults;
  sigemptyset(&mask);
  sigfillset(&defaults);
  sigdelset(&defaults, SIGKILL);
  sigdelset(&defaults, SIGSTOP);
  posix_spawnattr_setsigmask(&attributes, &mask);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes,
                           static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | otherFlags));
}

}  // namespace platform::posix
