#include "platform/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/error.h"
#include "platform/posix/state_root.h"
#include "platform/process.h"

namespace platform {

namespace {

std::string currentFolder() {
  char buffer[PATH_MAX];
  return getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string(".");
}

// The path made absolute against the current folder, as SearchPath
// returns it; the file must exist.
std::optional<std::string> existing(const std::string& folder, const std::string& fileName) {
  std::string path = folder.empty() ? fileName : folder + "/" + fileName;
  if (!path.empty() && path[0] != '/') path = currentFolder() + "/" + path;
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return std::nullopt;
  // Full and without "." or ".." steps, as SearchPath gives it; links are
  // left as they are.
  return std::filesystem::path(path).lexically_normal().string();
}

}  // namespace

char pathSeparator() { return '/'; }

std::string defaultLogDirectory() {
  // A folder that cannot be made shows up as a log that cannot be opened.
  posix::ensureStateRoot();
  return posix::stateFile("log/");
}

const char* defaultEngineFileName() { return "vorn"; }

std::optional<std::string> searchPath(const char* folder, const std::string& fileName) {
  if (!fileName.empty()) {
    if (folder != nullptr) {
      if (auto found = existing(folder, fileName)) return found;
    } else if (fileName.find('/') != std::string::npos) {
      if (auto found = existing("", fileName)) return found;
    } else {
      std::vector<std::string> folders;
      const std::string program = moduleFileName();
      if (program.rfind('/') != std::string::npos) {
        folders.push_back(program.substr(0, program.rfind('/')));
      }
      folders.push_back(currentFolder());
      const char* path = std::getenv("PATH");
      std::string list = path != nullptr ? path : "";
      std::string::size_type start = 0;
      while (!list.empty()) {
        const std::string::size_type end = list.find(':', start);
        folders.push_back(list.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
      }
      for (const std::string& candidate : folders) {
        if (candidate.empty()) continue;
        if (auto found = existing(candidate, fileName)) return found;
      }
    }
  }
  setLastError(kErrorFileNotFound);
  return std::nullopt;
}

std::uint32_t fileVersionInfoSize(const std::string& path) {
  struct stat info;
  if (path.empty() || stat(path.c_str(), &info) != 0) {
    posix::failWithErrno(path.empty() ? ENOENT : errno);
    return 0;
  }
  if (!S_ISREG(info.st_mode) || info.st_size == 0 || access(path.c_str(), X_OK) != 0) {
    setLastError(1813);  // ERROR_RESOURCE_TYPE_NOT_FOUND, as for a file without a version
    return 0;
  }
  return info.st_size > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<std::uint32_t>(info.st_size);
}

}  // namespace platform
