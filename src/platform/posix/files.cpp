#include "platform/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
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
  const std::string path = folder.empty() ? fileName : folder + "/" + fileName;
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return std::nullopt;
  return fullPathName(path);
}

}  // namespace

char pathSeparator() { return '/'; }

std::string defaultLogDirectory() {
  // A folder that cannot be made (or a link on the way to it) shows up as a
  // log that cannot be opened.
  const int folder = posix::openLogFolderNoFollow();
  if (folder >= 0) close(folder);
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

// Step by step over the text, as GetFullPathName does (current folder /w):
//   "bin/x"   /w/bin/x     "/a//b"  /a/b      "/a/."   /a
//   "./x"     /w/x         "../x"   /x        "/a/b/"  /a/b/
//   "a/.."    /w           "/.."    /         "///"    /
std::optional<std::string> fullPathName(const std::string& path) {
  if (path.empty()) {
    setLastError(123);  // ERROR_INVALID_NAME
    return std::nullopt;
  }
  std::string whole = path;
  if (path[0] != '/') {
    char buffer[PATH_MAX];
    if (getcwd(buffer, sizeof buffer) == nullptr) {
      posix::failWithErrno();
      return std::nullopt;
    }
    whole = std::string(buffer) + "/" + path;
  }
  std::vector<std::string> steps;
  std::string::size_type start = 0;
  while (start <= whole.size()) {
    std::string::size_type end = whole.find('/', start);
    if (end == std::string::npos) end = whole.size();
    const std::string step = whole.substr(start, end - start);
    if (step == "..") {
      if (!steps.empty()) steps.pop_back();
    } else if (!step.empty() && step != ".") {
      steps.push_back(step);
    }
    start = end + 1;
  }
  std::string full;
  for (const std::string& step : steps) full += "/" + step;
  if (full.empty() || path.back() == '/') full += "/";
  return full;
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
