#include "platform/posix/unix_socket_path.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform::posix {

namespace {

bool fitsAddress(const std::string& path) {
  return path.size() < sizeof(sockaddr_un::sun_path);
}

int connectTo(int fd, const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

int bindTo(int fd, const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

std::string throughDescriptor(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Closes fd without disturbing errno, so a caller still sees the failure.
void closeKeepingErrno(int fd) {
  const int saved = errno;
  close(fd);
  errno = saved;
}

}  // namespace

int connectUnixSocket(int fd, const std::string& path) {
  if (fitsAddress(path)) return connectTo(fd, path);
  const int target = open(path.c_str(), O_PATH | O_CLOEXEC);
  if (target < 0) return -1;
  const int rc = connectTo(fd, throughDescriptor(target));
  closeKeepingErrno(target);
  return rc;
}

int bindUnixSocket(int fd, const std::string& path, mode_t mode) {
  if (fitsAddress(path)) {
    unlink(path.c_str());
    if (bindTo(fd, path) != 0) return -1;
    return chmod(path.c_str(), mode);
  }
  const std::string::size_type slash = path.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const int directory = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return -1;
  // No other process binds under this process's id; a file of that name
  // was left by one that died.
  const std::string temporary = std::to_string(getpid()) + ".bind";
  unlinkat(directory, temporary.c_str(), 0);
  int rc = bindTo(fd, throughDescriptor(directory) + "/" + temporary);
  // The mode is set before the socket appears under its name; the rename
  // replaces a socket file left behind at once.
  if (rc == 0) rc = fchmodat(directory, temporary.c_str(), mode, 0);
  if (rc == 0) rc = renameat(directory, temporary.c_str(), directory, name.c_str());
  if (rc != 0) {
    const int saved = errno;
    unlinkat(directory, temporary.c_str(), 0);
    errno = saved;
  }
  closeKeepingErrno(directory);
  return rc;
}

}  // namespace platform::posix
