#include "platform/error.h"

#include <windows.h>

namespace platform {

ErrorCode lastError() { return GetLastError(); }

void setLastError(ErrorCode code) { SetLastError(code); }

std::optional<std::string> systemErrorText(ErrorCode code) {
  char* buffer = nullptr;
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0x400, reinterpret_cast<char*>(&buffer), 0, nullptr);
  if (length == 0 || buffer == nullptr) return std::nullopt;
  std::string text(buffer, length);
  LocalFree(buffer);
  return text;
}

}  // namespace platform
