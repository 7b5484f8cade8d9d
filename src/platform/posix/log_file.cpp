#include "platform/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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
  // O_NOFOLLOW: a link planted at the path is refused (ELOOP), never
  // followed to a file of the attacker's choosing. O_NONBLOCK: a FIFO
  // without a reader fails at once instead of holding start-up. Nothing
  // is emptied before the file is known to be a plain file of its own.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | O_NONBLOCK,
                      S_IRUSR | S_IWUSR);
  // With O_CREAT a missing file is made, so ENOENT means a missing folder.
  if (fd < 0) return failWith(-1, errno == ENOENT ? kErrorPathNotFound : posix::errorFromErrno(errno));
  struct stat info;
  if (fstat(fd, &info) != 0) return failWith(fd, posix::errorFromErrno(errno));
  if (S_ISREG(info.st_mode)) {
    // A second name for the file would make the truncation reach a file
    // that lives elsewhere.
    if (info.st_nlink > 1) return failWith(fd, kErrorCantAccessFile);
    if (ftruncate(fd, 0) != 0) return failWith(fd, posix::errorFromErrno(errno));
  } else if (!S_ISCHR(info.st_mode)) {
    // FIFOs and sockets would block or vanish under the writer.
    return failWith(fd, kErrorCantAccessFile);
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

void closeLogFile(LogFileHandle file) {
  if (file == nullptr) return;
  close(file->fd);
  delete file;
}

}  // namespace platform
