// What a Windows process was given: its environment block.
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "engine_probe.h"

namespace testing_support {

std::vector<std::string> probeEnvironment() {
  std::vector<std::string> entries;
  char* block = GetEnvironmentStringsA();
  if (block == nullptr) return entries;
  for (const char* entry = block; *entry != '\0'; entry += std::strlen(entry) + 1) {
    entries.emplace_back(entry);
  }
  FreeEnvironmentStringsA(block);
  return entries;
}

std::string probeIdentityLines() {
  // Handle values are multiples of 4; a child's table starts with what it
  // inherited, so a low range covers every handle the daemon let through.
  std::string lines;
  for (std::uintptr_t value = 4; value < 16384; value += 4) {
    const HANDLE handle = reinterpret_cast<HANDLE>(value);
    DWORD flags = 0;
    if (!GetHandleInformation(handle, &flags) || GetFileType(handle) != FILE_TYPE_DISK) continue;
    char path[MAX_PATH * 2];
    const DWORD length = GetFinalPathNameByHandleA(handle, path, sizeof path, 0);
    lines += "file=" + (length > 0 && length < sizeof path ? std::string(path, length)
                                                           : "<handle " + std::to_string(value) + ">") +
             "\n";
  }
  return lines;
}

}  // namespace testing_support
