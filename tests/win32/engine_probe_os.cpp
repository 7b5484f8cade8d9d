// What a Windows process was given: its environment block.
#include <windows.h>

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

std::string probeIdentityLines() { return std::string(); }

}  // namespace testing_support
