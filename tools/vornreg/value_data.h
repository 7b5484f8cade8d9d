// Value types by name and value data in the two text forms the tool
// speaks: what `add /d` takes and what `query` shows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vornreg {

// REG_QWORD is no constant of the platform layer; the tool still writes
// and shows it as the Windows tool does.
inline constexpr std::uint32_t kRegQword = 11;

// The type for a /t name (any letter case); none for a type the tool
// cannot write.
std::optional<std::uint32_t> typeFromName(const std::string& name);

// The name query shows; "REG_UNKNOWN (0x1c)" for a number without one.
std::string typeName(std::uint32_t type);

// The bytes to store for /d text. On failure, empty with `error` set to a
// one-line reason (no "ERROR:" prefix).
//
//   REG_SZ, REG_EXPAND_SZ   "8061"          -> 8061 0
//   REG_MULTI_SZ            "a\0b" (sep \0) -> a 0 b 0 0; "" -> 0
//   REG_DWORD               "16", "0x10"    -> 10 00 00 00
//   REG_QWORD               "0x1f"          -> 1f and seven 00
//   REG_BINARY, REG_NONE    "00ff10"        -> 00 ff 10
//
// `separator` is the /s character, or empty for the two characters `\0`.
// Without /d at all (`given` false) numbers are 0 and the rest empty.
std::optional<std::string> encodeData(std::uint32_t type, const std::string& text, bool given,
                                      const std::string& separator, std::string& error);

// The data column of a query line.
//
//   REG_SZ, REG_EXPAND_SZ   text up to the first zero byte
//   REG_MULTI_SZ            items joined by the two characters \0
//   REG_DWORD, REG_QWORD    0x and lower-case hex, when the size fits
//   anything else           upper-case hex pairs, no separator
std::string displayData(std::uint32_t type, const std::string& data);

}  // namespace vornreg
