#include "platform/posix/no_follow_path.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/log_file.h"
#include "platform/posix/state_root.h"

namespace platform::posix {

namespace {

constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// O_DIRECTORY with O_NOFOLLOW refuses a link as ENOTDIR (or ENOENT when it
// dangles); the walk's callers must tell a link from a file.
int linkOr(int folder, const char* name, int errnoValue) {
  struct stat info;
  const bool link = fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
  errno = link ? ELOOP : errnoValue;
  return -1;
}

int openStep(int folder, const char* step, mode_t createMode) {
  int fd = openat(folder, step, kFolderFlags);
  if (fd < 0 && errno == ENOENT && createMode != 0) {
    // mkdirat does not follow a link at the name either: a dangling one
    // gives EEXIST and is then refused by the open.
    if (mkdirat(folder, step, createMode) != 0 && errno != EEXIST) return -1;
    fd = openat(folder, step, kFolderFlags);
  }
  if (fd < 0) return linkOr(folder, step, errno);
  return fd;
}

}  // namespace

int stepIntoFolderNoFollow(int folder, const std::string& name, mode_t createMode) {
  if (folder < 0) return -1;
  const int next = openStep(folder, name.empty() ? "." : name.c_str(), createMode);
  const int saved = errno;
  close(folder);
  errno = saved;
  return next;
}

int openFolderNoFollow(const std::string& path, mode_t createMode) {
  int folder = open(!path.empty() && path[0] == '/' ? "/" : ".", kFolderFlags);
  std::string::size_type start = 0;
  while (folder >= 0 && start < path.size()) {
    std::string::size_type end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) {
      folder = stepIntoFolderNoFollow(folder, path.substr(start, end - start), createMode);
    }
    start = end + 1;
  }
  return folder;
}

std::string folderOf(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string lastComponentOf(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int openOwnFileNoFollow(int folder, const std::string& name, int flags, mode_t createMode,
                        bool allowCharacterDevice, struct stat& info) {
  auto refuse = [](int fd, ErrorCode code) {
    if (fd >= 0) close(fd);
    setLastError(code);
    return -1;
  };
  // A path that ends in a separator names a folder, not a file.
  if (name.empty()) return refuse(-1, errorFromErrno(EISDIR));
  const int fd = openat(folder, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, createMode);
  // With O_CREAT a missing file is made, so ENOENT means the folder went.
  if (fd < 0) return refuse(-1, errno == ENOENT ? kErrorPathNotFound : errorFromErrno(errno));
  if (fstat(fd, &info) != 0) return refuse(fd, errorFromErrno(errno));
  if (S_ISCHR(info.st_mode) && allowCharacterDevice) return fd;
  // FIFOs and sockets would block or vanish under the writer; a second
  // name would carry the writes to a file that lives elsewhere; a file of
  // another account was made for it to read or to bend.
  if (!S_ISREG(info.st_mode) || info.st_nlink > 1 || info.st_uid != geteuid()) {
    return refuse(fd, kErrorCantAccessFile);
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    if (fchmod(fd, info.st_mode & 07777 & ~(S_IWGRP | S_IWOTH)) != 0) {
      return refuse(fd, errorFromErrno(errno));
    }
    info.st_mode &= ~(S_IWGRP | S_IWOTH);
  }
  return fd;
}

}  // namespace platform::posix
