// AF_UNIX sockets at paths of any length.
//
// An AF_UNIX address holds a path of at most 107 bytes, less than a long
// state root and a long service name can need. A path that does not fit
// is reached through /proc/self/fd instead: connecting opens the socket
// file with O_PATH and connects to /proc/self/fd/<n>; binding creates the
// socket under a short name in the same folder, reached the same way
// through the folder, and renames it into place. Either way the socket
// file lies at the path given.
#pragma once

#include <sys/types.h>

#include <string>

namespace platform::posix {

// As connect(2): 0, or -1 with errno set.
int connectUnixSocket(int fd, const std::string& path);

// Binds fd so that its socket file lies at path with the given mode,
// replacing a file left there. 0, or -1 with errno set.
int bindUnixSocket(int fd, const std::string& path, mode_t mode);

}  // namespace platform::posix
