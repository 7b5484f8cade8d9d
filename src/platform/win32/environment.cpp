#include "platform/environment.h"

#include <windows.h>

#include <cstdlib>
#include <vector>

namespace platform {

std::optional<std::string> getEnvironmentVariable(const std::string& name) {
  std::vector<char> buffer(256);
  for (;;) {
    SetLastError(0);
    const DWORD length =
        GetEnvironmentVariableA(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();
    }
    if (length < buffer.size()) return std::string(buffer.data(), length);
    buffer.resize(length + 1);
  }
}

bool setEnvironmentVariable(const std::string& name, const std::optional<std::string>& value) {
  // Both the system's copy and the C runtime's, so that getenv agrees.
  if (!SetEnvironmentVariableA(name.c_str(), value ? value->c_str() : nullptr)) return false;
  _putenv_s(name.c_str(), value ? value->c_str() : "");
  return true;
}

}  // namespace platform

namespace platform {

std::optional<std::string> expandEnvironmentStrings(const std::string& text) {
  // Asked twice: once for the size, then into a buffer one longer.
  const DWORD needed = ExpandEnvironmentStringsA(text.c_str(), nullptr, 0);
  if (needed == 0) return std::nullopt;
  std::vector<char> buffer(needed + 1);
  const DWORD written =
      ExpandEnvironmentStringsA(text.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
  if (written == 0 || written > buffer.size()) return std::nullopt;
  return std::string(buffer.data());
}

}  // namespace platform
