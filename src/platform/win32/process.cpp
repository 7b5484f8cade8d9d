#include "platform/process.h"

#include <windows.h>

#include <vector>

namespace platform {

std::uint32_t currentProcessId() { return GetCurrentProcessId(); }

std::string moduleFileName() {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    DWORD length = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return std::string();
    // A full buffer means the path may have been cut.
    if (length < buffer.size()) return std::string(buffer.data(), length);
    if (buffer.size() >= 32768) return std::string(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

std::string rawCommandLine(int argc, char** argv) {
  (void)argc, (void)argv;
  const char* line = GetCommandLineA();
  return line != nullptr ? std::string(line) : std::string();
}

void lowerCaseInPlace(std::string& text) {
  if (text.empty()) return;
  CharLowerBuffA(text.data(), static_cast<DWORD>(text.size()));
}

}  // namespace platform
