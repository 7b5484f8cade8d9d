#include "platform/environment.h"

#include <cstdlib>

#include "platform/posix/state_root.h"

namespace platform {

std::optional<std::string> getEnvironmentVariable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool setEnvironmentVariable(const std::string& name, const std::optional<std::string>& value) {
  const int result = value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
  return result == 0 || posix::failWithErrno();
}

}  // namespace platform
