// The registry handle is the HKEY itself.
#include "platform/registry.h"

#include <windows.h>

#include <vector>

namespace platform {

namespace {

HKEY toHkey(RegKeyHandle key) { return reinterpret_cast<HKEY>(key); }
RegKeyHandle fromHkey(HKEY key) { return reinterpret_cast<RegKeyHandle>(key); }

// Enumerated names: the longest key name is 255 characters, the longest
// value name 16383; an ANSI name may take more bytes than characters, so
// grow on 234.
template <typename Enumerate>
ErrorCode enumerateName(std::size_t initialSize, std::string& name, Enumerate enumerate) {
  std::vector<char> buffer(initialSize);
  while (true) {
    DWORD length = static_cast<DWORD>(buffer.size());
    const LONG status = enumerate(buffer.data(), &length);
    if (status == ERROR_MORE_DATA && buffer.size() < 1u << 20) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (status == ERROR_SUCCESS) name.assign(buffer.data(), length);
    return static_cast<ErrorCode>(status);
  }
}

}  // namespace

RegKeyHandle localMachine() { return fromHkey(HKEY_LOCAL_MACHINE); }

std::string registryLastParseError() { return std::string(); }

ErrorCode regOpenKey(RegKeyHandle parent, const std::string& subKey, std::uint32_t access,
                     RegKeyHandle& result) {
  HKEY opened = nullptr;
  const LONG status = RegOpenKeyExA(toHkey(parent), subKey.c_str(), 0, access, &opened);
  result = status == ERROR_SUCCESS ? fromHkey(opened) : nullptr;
  return static_cast<ErrorCode>(status);
}

ErrorCode regCreateKey(RegKeyHandle parent, const std::string& subKey, RegKeyHandle& result) {
  HKEY created = nullptr;
  const LONG status = RegCreateKeyExA(toHkey(parent), subKey.c_str(), 0, nullptr,
                                      REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &created,
                                      nullptr);
  result = status == ERROR_SUCCESS ? fromHkey(created) : nullptr;
  return static_cast<ErrorCode>(status);
}

ErrorCode regCloseKey(RegKeyHandle key) {
  if (key == localMachine()) return kErrorSuccess;
  return static_cast<ErrorCode>(RegCloseKey(toHkey(key)));
}

ErrorCode regQueryInfoKey(RegKeyHandle key, std::uint32_t& valueCount,
                          std::uint32_t& maxValueNameLength, std::uint32_t& maxValueDataLength) {
  DWORD values = 0;
  DWORD maxName = 0;
  DWORD maxData = 0;
  const LONG status = RegQueryInfoKeyA(toHkey(key), nullptr, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, &values, &maxName, &maxData, nullptr, nullptr);
  if (status == ERROR_SUCCESS) {
    valueCount = values;
    maxValueNameLength = maxName;
    maxValueDataLength = maxData;
  }
  return static_cast<ErrorCode>(status);
}

ErrorCode regEnumValue(RegKeyHandle key, std::uint32_t index, std::string& name) {
  return enumerateName(16384, name, [&](char* buffer, DWORD* length) {
    return RegEnumValueA(toHkey(key), index, buffer, length, nullptr, nullptr, nullptr, nullptr);
  });
}

ErrorCode regEnumKey(RegKeyHandle key, std::uint32_t index, std::string& name) {
  return enumerateName(256, name, [&](char* buffer, DWORD* length) {
    return RegEnumKeyExA(toHkey(key), index, buffer, length, nullptr, nullptr, nullptr, nullptr);
  });
}

ErrorCode regQueryValue(RegKeyHandle key, const std::string& name, std::uint32_t* type,
                        void* data, std::uint32_t* dataSize) {
  DWORD valueType = 0;
  DWORD size = dataSize != nullptr ? *dataSize : 0;
  const LONG status =
      RegQueryValueExA(toHkey(key), name.c_str(), nullptr, &valueType, static_cast<BYTE*>(data),
                       dataSize != nullptr ? &size : nullptr);
  if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
    if (type != nullptr) *type = valueType;
    if (dataSize != nullptr) *dataSize = size;
  }
  return static_cast<ErrorCode>(status);
}

ErrorCode regSetValue(RegKeyHandle key, const std::string& name, std::uint32_t type,
                      const void* data, std::uint32_t dataSize) {
  return static_cast<ErrorCode>(RegSetValueExA(toHkey(key), name.c_str(), 0, type,
                                               static_cast<const BYTE*>(data), dataSize));
}

ErrorCode regDeleteValue(RegKeyHandle key, const std::string& name) {
  return static_cast<ErrorCode>(RegDeleteValueA(toHkey(key), name.c_str()));
}

ErrorCode regDeleteTree(RegKeyHandle parent, const std::string& subKey) {
  // An empty name would empty the parent itself.
  if (subKey.empty()) return kErrorInvalidParameter;
  return static_cast<ErrorCode>(RegDeleteTreeA(toHkey(parent), subKey.c_str()));
}

}  // namespace platform
