// The registry's local-machine tree.
//
// Windows calls the real registry. The POSIX side keeps the tree in one
// text file, $VORND_ROOT/registry (format in the README), replaced
// atomically on every write under an exclusive lock; readers take a shared
// lock. Key paths and value names compare without regard to letter case
// and keep the case they were created with; values enumerate in creation
// order.
//
// Like the Windows Reg* functions these return an error code rather than
// setting the last error: 0 on success, 2 for a missing key or value,
// 259 past the last index, 234 when a buffer is too small.
//
// On POSIX a registry file that cannot be parsed is never written over:
// every call fails with kErrorRegistryCorrupt and registryLastParseError()
// names the file and line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/error.h"

namespace platform {

inline constexpr std::uint32_t kRegNone = 0;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;

// ERROR_BADDB: the registry file cannot be parsed.
inline constexpr ErrorCode kErrorRegistryCorrupt = 1009;
// ERROR_KEY_DELETED: the key behind an open handle was deleted.
inline constexpr ErrorCode kErrorKeyDeleted = 1018;

inline constexpr std::uint32_t kKeyAllAccess = 0xF003F;
inline constexpr std::uint32_t kKeyRead = 0x20019;

struct RegKeyImpl;
using RegKeyHandle = RegKeyImpl*;

// HKEY_LOCAL_MACHINE. Never closed.
RegKeyHandle localMachine();

ErrorCode regOpenKey(RegKeyHandle parent, const std::string& subKey, std::uint32_t access,
                     RegKeyHandle& result);
// Opens the key or creates it and every missing key above it.
ErrorCode regCreateKey(RegKeyHandle parent, const std::string& subKey, RegKeyHandle& result);
ErrorCode regCloseKey(RegKeyHandle key);

// Longest value name (characters, no terminator) and longest value data
// (bytes) among the key's values, and their count (RegQueryInfoKey).
ErrorCode regQueryInfoKey(RegKeyHandle key, std::uint32_t& valueCount,
                          std::uint32_t& maxValueNameLength, std::uint32_t& maxValueDataLength);

// The name of the value at an index (RegEnumValue without type or data).
ErrorCode regEnumValue(RegKeyHandle key, std::uint32_t index, std::string& name);
// The name of the subkey at an index.
ErrorCode regEnumKey(RegKeyHandle key, std::uint32_t index, std::string& name);

// RegQueryValueEx: the type, and the data when a buffer is given. dataSize
// holds the buffer's size on entry and the data's size on return (also
// when the buffer is too small, which gives 234).
ErrorCode regQueryValue(RegKeyHandle key, const std::string& name, std::uint32_t* type,
                        void* data, std::uint32_t* dataSize);

ErrorCode regSetValue(RegKeyHandle key, const std::string& name, std::uint32_t type,
                      const void* data, std::uint32_t dataSize);
ErrorCode regDeleteValue(RegKeyHandle key, const std::string& name);

// Deletes the subkey with everything below it.
ErrorCode regDeleteTree(RegKeyHandle parent, const std::string& subKey);

// "<file>:<line>: <what was expected>" for the registry file this thread
// last failed to parse; empty when its last registry call read the file
// fine. Always empty on Windows.
std::string registryLastParseError();

}  // namespace platform
