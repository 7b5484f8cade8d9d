#include "platform/posix/service_files.h"

#include <climits>
#include <cstring>

#include "platform/posix/state_root.h"

namespace platform::posix {

namespace {

constexpr const char* kControlSocketSuffix = ".ctl";
constexpr const char* kStartLockSuffix = ".lock";
constexpr const char* kOutputLogSuffix = ".out";

}  // namespace

std::string controlSocketPath(const std::string& serviceName) {
  return stateFile("run/" + serviceName + kControlSocketSuffix);
}

std::string startLockPath(const std::string& serviceName) {
  return stateFile("run/" + serviceName + kStartLockSuffix);
}

std::string outputLogPath(const std::string& serviceName) {
  return stateFile("log/" + serviceName + kOutputLogSuffix);
}

bool serviceFilesCanBeNamed(const std::string& serviceName) {
  for (const char* suffix : {kControlSocketSuffix, kStartLockSuffix, kOutputLogSuffix}) {
    if (serviceName.size() + std::strlen(suffix) > NAME_MAX) return false;
  }
  return true;
}

}  // namespace platform::posix
