#include "platform/environment.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

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

extern char** environ;

namespace platform {

namespace {

bool equalIgnoringCase(const char* a, const char* b, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// Names are case-sensitive here but not on Windows, where these references
// come from: the exact name first, then any spelling of it.
std::optional<std::string> lookUp(const std::string& name) {
  if (const char* value = std::getenv(name.c_str())) return std::string(value);
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const char* equals = std::strchr(*entry, '=');
    if (equals == nullptr || static_cast<std::size_t>(equals - *entry) != name.size()) continue;
    if (equalIgnoringCase(*entry, name.c_str(), name.size())) return std::string(equals + 1);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> expandEnvironmentStrings(const std::string& text) {
  std::string result;
  result.reserve(text.size());
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t open = text.find('%', at);
    if (open == std::string::npos) break;
    result.append(text, at, open - at);
    const std::size_t close = text.find('%', open + 1);
    if (close == std::string::npos) {
      at = open;
      break;
    }
    const std::string name = text.substr(open + 1, close - open - 1);
    std::optional<std::string> value;
    if (!name.empty()) value = lookUp(name);
    if (value) {
      result += *value;
      at = close + 1;
    } else {
      // Not a reference: keep the % and look again from the next one.
      result += '%';
      at = open + 1;
    }
  }
  result.append(text, at, std::string::npos);
  return result;
}

}  // namespace platform
