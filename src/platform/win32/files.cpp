#include "platform/files.h"

#include <windows.h>

namespace platform {

char pathSeparator() { return '\\'; }

std::string defaultLogDirectory() { return "c:\\"; }

const char* defaultEngineFileName() { return "Vorn.exe"; }

std::optional<std::string> searchPath(const char* folder, const std::string& fileName) {
  char found[2048];
  const DWORD length = SearchPathA(folder, fileName.c_str(), nullptr, sizeof found, found, nullptr);
  if (length == 0 || length >= sizeof found) {
    if (length >= sizeof found) SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return std::nullopt;
  }
  return std::string(found, length);
}

std::optional<std::string> fullPathName(const std::string& path) {
  // Not every implementation of the call sets an error for this one.
  if (path.empty()) {
    SetLastError(ERROR_INVALID_NAME);
    return std::nullopt;
  }
  char full[2048];
  const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) {
    if (length >= sizeof full) SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return std::nullopt;
  }
  return std::string(full, length);
}

std::uint32_t fileVersionInfoSize(const std::string& path) {
  DWORD ignored = 0;
  return GetFileVersionInfoSizeA(path.c_str(), &ignored);
}

}  // namespace platform
