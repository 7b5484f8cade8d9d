// Registry keys written for one test and deleted after it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/registry.h"

namespace testing_support {

class ScopedRegistryKey {
 public:
  // path is below HKEY_LOCAL_MACHINE; the key and everything below it go
  // when the object does.
  explicit ScopedRegistryKey(std::string path) : m_path(std::move(path)) {}
  ~ScopedRegistryKey() { platform::regDeleteTree(platform::localMachine(), m_path); }
  ScopedRegistryKey(const ScopedRegistryKey&) = delete;
  ScopedRegistryKey& operator=(const ScopedRegistryKey&) = delete;

  const std::string& path() const { return m_path; }

  // Writes a value below the key (sub may be empty); returns the error code.
  platform::ErrorCode set(const std::string& sub, const std::string& name, std::uint32_t type,
                          const std::string& bytes) const {
    platform::RegKeyHandle key = nullptr;
    const std::string path = sub.empty() ? m_path : m_path + "\\" + sub;
    platform::ErrorCode error = platform::regCreateKey(platform::localMachine(), path, key);
    if (error != platform::kErrorSuccess) return error;
    error = platform::regSetValue(key, name, type, bytes.data(),
                                  static_cast<std::uint32_t>(bytes.size()));
    platform::regCloseKey(key);
    return error;
  }
  // A text with its terminating zero byte, as the administration commands
  // write it.
  platform::ErrorCode setText(const std::string& sub, const std::string& name,
                              const std::string& text,
                              std::uint32_t type = platform::kRegExpandSz) const {
    return set(sub, name, type, text + std::string(1, '\0'));
  }

 private:
  std::string m_path;
};

inline std::string uniqueName(const char* stem) {
  static int counter = 0;
  return std::string(stem) + std::to_string(platform::currentProcessId()) + "n" +
         std::to_string(counter++);
}

}  // namespace testing_support
