#include "vornreg/value_data.h"

#include <cctype>
#include <cstdio>

#include "platform/registry.h"

namespace vornreg {

namespace {

struct TypeName {
  std::uint32_t type;
  const char* name;
  bool writable;
};

constexpr TypeName kTypeNames[] = {
    {platform::kRegNone, "REG_NONE", true},
    {platform::kRegSz, "REG_SZ", true},
    {platform::kRegExpandSz, "REG_EXPAND_SZ", true},
    {platform::kRegBinary, "REG_BINARY", true},
    {platform::kRegDword, "REG_DWORD", true},
    {5, "REG_DWORD_BIG_ENDIAN", false},
    {6, "REG_LINK", false},
    {platform::kRegMultiSz, "REG_MULTI_SZ", true},
    {8, "REG_RESOURCE_LIST", false},
    {9, "REG_FULL_RESOURCE_DESCRIPTOR", false},
    {10, "REG_RESOURCE_REQUIREMENTS_LIST", false},
    {kRegQword, "REG_QWORD", true},
};

bool equalsIgnoringCase(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != b[i]) return false;
  }
  return i == a.size() && b[i] == '\0';
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decimal, or 0x and hex digits; nothing else, no sign, no blanks.
std::optional<std::uint64_t> parseNumber(const std::string& text, std::uint64_t max) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::size_t start = hex ? 2 : 0;
  if (text.size() == start) return std::nullopt;
  const std::uint64_t base = hex ? 16 : 10;
  std::uint64_t value = 0;
  for (std::size_t i = start; i < text.size(); ++i) {
    const int digit = hexDigit(text[i]);
    if (digit < 0 || static_cast<std::uint64_t>(digit) >= base) return std::nullopt;
    if (value > (max - static_cast<std::uint64_t>(digit)) / base) return std::nullopt;
    value = value * base + static_cast<std::uint64_t>(digit);
  }
  return value;
}

std::string littleEndian(std::uint64_t value, int bytes) {
  std::string data;
  for (int i = 0; i < bytes; ++i) data += static_cast<char>((value >> (8 * i)) & 0xFF);
  return data;
}

std::uint64_t fromLittleEndian(const std::string& data) {
  std::uint64_t value = 0;
  for (std::size_t i = data.size(); i-- > 0;) {
    value = (value << 8) | static_cast<unsigned char>(data[i]);
  }
  return value;
}

std::optional<std::string> encodeMultiString(const std::string& text, const std::string& separator,
                                             std::string& error) {
  const std::string sep = separator.empty() ? std::string("\\0") : separator;
  std::string data;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(sep, start);
    if (end == std::string::npos) end = text.size();
    // An empty item would end the list early for every reader; a
    // separator at the very end is only a terminator ("fax\0mail\0").
    if (end == start) {
      error = "REG_MULTI_SZ data cannot hold an empty item.";
      return std::nullopt;
    }
    data.append(text, start, end - start);
    data += '\0';
    start = end + sep.size();
  }
  data += '\0';
  return data;
}

}  // namespace

std::optional<std::uint32_t> typeFromName(const std::string& name) {
  if (equalsIgnoringCase(name, "REG_DWORD_LITTLE_ENDIAN")) return platform::kRegDword;
  for (const TypeName& entry : kTypeNames) {
    if (entry.writable && equalsIgnoringCase(name, entry.name)) return entry.type;
  }
  return std::nullopt;
}

std::string typeName(std::uint32_t type) {
  for (const TypeName& entry : kTypeNames) {
    if (entry.type == type) return entry.name;
  }
  char text[32];
  std::snprintf(text, sizeof text, "REG_UNKNOWN (0x%x)", type);
  return text;
}

std::optional<std::string> encodeData(std::uint32_t type, const std::string& text, bool given,
                                      const std::string& separator, std::string& error) {
  switch (type) {
    case platform::kRegSz:
    case platform::kRegExpandSz:
      return text + '\0';
    case platform::kRegMultiSz:
      return encodeMultiString(text, separator, error);
    case platform::kRegDword:
    case kRegQword: {
      const bool dword = type == platform::kRegDword;
      if (!given) return littleEndian(0, dword ? 4 : 8);
      const std::uint64_t max = dword ? 0xFFFFFFFFull : ~0ull;
      const std::optional<std::uint64_t> value = parseNumber(text, max);
      if (!value) {
        error = "'" + text + "' is no " + typeName(type) +
                (dword ? ": give a decimal number up to 4294967295 or 0x and up to 8 hex digits."
                       : ": give a decimal number or 0x and up to 16 hex digits.");
        return std::nullopt;
      }
      return littleEndian(*value, dword ? 4 : 8);
    }
    default: {
      if (text.size() % 2 != 0) {
        error = typeName(type) + " data needs an even number of hex digits, two per byte.";
        return std::nullopt;
      }
      std::string data;
      for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = hexDigit(text[i]);
        const int low = hexDigit(text[i + 1]);
        if (high < 0 || low < 0) {
          error = "'" + text + "' is no " + typeName(type) + " data: use hex digits only.";
          return std::nullopt;
        }
        data += static_cast<char>(high * 16 + low);
      }
      return data;
    }
  }
}

std::string displayData(std::uint32_t type, const std::string& data) {
  switch (type) {
    case platform::kRegSz:
    case platform::kRegExpandSz:
      return data.substr(0, data.find('\0'));
    case platform::kRegMultiSz: {
      std::string text;
      std::size_t start = 0;
      while (start < data.size()) {
        std::size_t end = data.find('\0', start);
        if (end == start) break;  // the empty item ends the list
        if (end == std::string::npos) end = data.size();
        if (start > 0) text += "\\0";
        text.append(data, start, end - start);
        start = end + 1;
      }
      return text;
    }
    case platform::kRegDword:
    case kRegQword:
      if (data.size() == (type == platform::kRegDword ? 4u : 8u)) {
        char text[24];
        std::snprintf(text, sizeof text, "0x%llx",
                      static_cast<unsigned long long>(fromLittleEndian(data)));
        return text;
      }
      break;
    default:
      break;
  }
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned char byte : data) {
    text += kHex[byte >> 4];
    text += kHex[byte & 0x0F];
  }
  return text;
}

}  // namespace vornreg
