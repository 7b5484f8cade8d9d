#include "platform/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/no_follow_path.h"
#include "platform/posix/state_root.h"

namespace platform {

struct LogFileImpl {
  int fd = -1;
};

namespace {

LogFileHandle failWith(int fd, ErrorCode code) {
  if (fd >= 0) close(fd);
  setLastError(code);
  return nullptr;
}

}  // namespace

LogFileHandle openLogFile(const std::string& path) {
  // Each folder on the way is opened without following a link, and so is
  // the file (a link planted there gives ELOOP, never a file of the
  // attacker's choosing). O_NONBLOCK: a FIFO without a reader fails at once
  // instead of holding start-up. Nothing is emptied before the file is
  // known to be a plain file of the daemon's own.
  const int folder = posix::openFolderNoFollow(posix::folderOf(path), 0);
  if (folder < 0) {
    return failWith(-1, errno == ENOENT ? kErrorPathNotFound : posix::errorFromErrno(errno));
  }
  struct stat info;
  const int fd = posix::openOwnFileNoFollow(folder, posix::lastComponentOf(path),
                                            O_WRONLY | O_CREAT | O_NOCTTY | O_NONBLOCK,
                                            S_IRUSR | S_IWUSR, true, info);
  close(folder);
  if (fd < 0) return nullptr;
  if (S_ISREG(info.st_mode) && ftruncate(fd, 0) != 0) {
    return failWith(fd, posix::errorFromErrno(errno));
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return failWith(fd, posix::errorFromErrno(errno));
  }
  return new LogFileImpl{fd};
}

bool writeLogFile(LogFileHandle file, const std::string& text) {
  if (file == nullptr) {
    setLastError(kErrorInvalidHandle);
    return false;
  }
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = write(file->fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      setLastError(n < 0 ? posix::errorFromErrno(errno) : 112);
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  return true;
}

std::size_t logFileLength(const std::string& text) { return text.size(); }

void closeLogFile(LogFileHandle file) {
  if (file == nullptr) return;
  close(file->fd);
  delete file;
}

}  // namespace platform
