// How many descriptors (sockets, files, pipes) the process may hold at
// once. A daemon with many clients meets the soft limit long before the
// hard one, and the soft limit's usual default was set for interactive
// shells, not for servers.
#pragma once

#include <cstddef>

namespace platform {

// Raises the soft limit on open descriptors to the hard one, where there
// is such a limit, and returns how many descriptors the process may now
// hold (a large fixed number where the system has no such limit). When the
// limit cannot be raised, the soft limit stays as it was and is returned.
std::size_t raiseDescriptorLimit();

// The number this process may hold now, without changing it.
std::size_t descriptorLimit();

}  // namespace platform
