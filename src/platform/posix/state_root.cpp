#include "platform/posix/state_root.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/error.h"
#include "platform/posix/no_follow_path.h"

namespace platform::posix {

std::string stateRoot() {
  if (const char* root = std::getenv("VORND_ROOT"); root != nullptr && *root != '\0') {
    std::string path = root;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
  }
  if (geteuid() == 0) return "/var/lib/vornd";
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
    return std::string(state) + "/vornd";
  }
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.local/state/vornd";
}

namespace {

bool makeDirectory(const std::string& path, mode_t mode) {
  if (mkdir(path.c_str(), mode) == 0) return true;
  if (errno != EEXIST) return failWithErrno();
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return failWithErrno();
  if (!S_ISDIR(info.st_mode)) return failWithErrno(ENOTDIR);
  return true;
}

// mkdir -p for the folders above the root; they keep the umask's mode.
bool makeParents(const std::string& path) {
  for (std::string::size_type slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    if (!makeDirectory(path.substr(0, slash), 0755)) return false;
  }
  return true;
}

}  // namespace

bool ensureStateRoot() {
  const std::string root = stateRoot();
  return makeParents(root) && makeDirectory(root, 0700) && makeDirectory(root + "/log", 0755) &&
         makeDirectory(root + "/run", 0700);
}

int openLogFolderNoFollow() {
  const std::string root = stateRoot();
  // The folders above the root keep the umask's mode, as makeParents
  // leaves them.
  int folder = openFolderNoFollow(folderOf(root), 0755);
  folder = stepIntoFolderNoFollow(folder, lastComponentOf(root), 0700);
  folder = stepIntoFolderNoFollow(folder, "log", 0755);
  if (folder < 0) failWithErrno();
  return folder;
}

std::string stateFile(const std::string& relativePath) { return stateRoot() + "/" + relativePath; }

bool failWithErrno() { return failWithErrno(errno); }

bool failWithErrno(int errnoValue) {
  setLastError(static_cast<ErrorCode>(errorFromErrno(errnoValue)));
  return false;
}

}  // namespace platform::posix
