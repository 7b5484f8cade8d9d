// The files a service has under the state root, each named by the
// service's name as recorded:
//
//   run/<name>.ctl   the running service's control socket
//   run/<name>.lock  held (flock) for a whole start and for a delete
//   log/<name>.out   the service's standard output and error
//
// Each name is one directory entry, so a service name can be served only
// while the longest of them fits the file system's limit on a name.
#pragma once

#include <string>

namespace platform::posix {

std::string controlSocketPath(const std::string& serviceName);
std::string startLockPath(const std::string& serviceName);
std::string outputLogPath(const std::string& serviceName);

// True when every file above can be made for this name. Says nothing of
// the characters in it.
bool serviceFilesCanBeNamed(const std::string& serviceName);

}  // namespace platform::posix
