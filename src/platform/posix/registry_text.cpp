// The registry file, line by line (leading blanks and a final CR are
// ignored, so hand edits from any editor read back):
//
//   vornd registry 1                          first line that is not blank or a comment
//   ; a comment   # a comment                 ignored, as are blank lines
//   [SYSTEM\CurrentControlSet\Services\svc]   a key; the value lines after it are its own
//   []                                        the top of the tree itself
//   "SockPort"=REG_EXPAND_SZ:"8061"           data 8 0 6 1 \0
//   ""=REG_SZ:"x"                             the key's default (unnamed) value
//   "Flags"=REG_DWORD:0x00000010              four bytes, low byte first; decimal too
//   "List"=REG_MULTI_SZ:"a","b"               data a \0 b \0 \0
//   "None"=REG_MULTI_SZ:                      data \0 (no strings)
//   "Raw"=REG_BINARY:hex:00,ff,10             any bytes; "hex:" alone is no data
//   "Odd"=11:hex:01                           types without a name go by number
//
// The form of the data is chosen by the data, not by the type: a string
// is its bytes plus a terminating \0 whatever the type, REG_MULTI_SZ takes
// a list, and data that does not fit a text form is written in hex, so
// every byte sequence comes back exactly. Escapes inside quotes:
//
//   \\  \"  \0  \t  \n  \r  \xHH (two hex digits)
//
// Key names are written as they are: they cannot hold a backslash (the
// separator) or control characters. A key may appear in several sections;
// their values join. A value name may appear once per key.
#include <cstdio>

#include "platform/posix/registry_tree.h"
#include "platform/registry.h"

namespace platform::posix {

namespace {

constexpr std::string_view kHeader = "vornd registry 1";

struct TypeName {
  std::uint32_t type;
  std::string_view name;
};

constexpr TypeName kTypeNames[] = {
    {kRegNone, "REG_NONE"},   {kRegSz, "REG_SZ"},       {kRegExpandSz, "REG_EXPAND_SZ"},
    {kRegBinary, "REG_BINARY"}, {kRegDword, "REG_DWORD"}, {kRegMultiSz, "REG_MULTI_SZ"},
};

bool isBlank(char c) { return c == ' ' || c == '\t'; }

void skipBlanks(std::string_view& text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr char kHexDigits[] = "0123456789abcdef";

// ---- Reading ----

// text starts at the opening quote; on return it is past the closing one.
bool parseQuoted(std::string_view& text, std::string& out, std::string& error) {
  text.remove_prefix(1);
  while (!text.empty()) {
    const char c = text.front();
    text.remove_prefix(1);
    if (c == '"') return true;
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (text.empty()) break;
    const char escape = text.front();
    text.remove_prefix(1);
    switch (escape) {
      case '\\': out.push_back('\\'); break;
      case '"': out.push_back('"'); break;
      case '0': out.push_back('\0'); break;
      case 't': out.push_back('\t'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 'x': {
        const int high = text.size() >= 2 ? hexDigit(text[0]) : -1;
        const int low = text.size() >= 2 ? hexDigit(text[1]) : -1;
        if (high < 0 || low < 0) {
          error = "expected two hex digits after \\x";
          return false;
        }
        out.push_back(static_cast<char>(high * 16 + low));
        text.remove_prefix(2);
        break;
      }
      default:
        error = std::string("unknown escape \\") + escape;
        return false;
    }
  }
  error = "missing closing quote";
  return false;
}

bool parseType(std::string_view token, std::uint32_t& type, std::string& error) {
  const std::string folded = foldCase(token);
  for (const TypeName& known : kTypeNames) {
    if (folded == foldCase(known.name)) {
      type = known.type;
      return true;
    }
  }
  std::uint64_t number = 0;
  for (char c : token) {
    if (c < '0' || c > '9' || number > 0xFFFFFFFFu) {
      number = 0x100000000u;
      break;
    }
    number = number * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (token.empty() || number > 0xFFFFFFFFu) {
    error = "unknown type \"" + std::string(token) + "\"";
    return false;
  }
  type = static_cast<std::uint32_t>(number);
  return true;
}

// 0x1f40 or 8000, as four bytes low byte first.
bool parseNumber(std::string_view text, std::string& data, std::string& error) {
  std::uint64_t number = 0;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (hex) text.remove_prefix(2);
  const std::uint64_t base = hex ? 16 : 10;
  bool ok = !text.empty();
  for (char c : text) {
    const int digit = hexDigit(c);
    if (digit < 0 || static_cast<std::uint64_t>(digit) >= base) {
      ok = false;
      break;
    }
    number = number * base + static_cast<std::uint64_t>(digit);
    if (number > 0xFFFFFFFFu) {
      ok = false;
      break;
    }
  }
  if (!ok) {
    error = "expected a 32-bit number";
    return false;
  }
  for (int shift = 0; shift < 32; shift += 8) {
    data.push_back(static_cast<char>((number >> shift) & 0xFF));
  }
  return true;
}

// Text after "hex:": bytes such as 00,ff,10.
bool parseHex(std::string_view text, std::string& data, std::string& error) {
  skipBlanks(text);
  while (!text.empty()) {
    const int high = text.size() >= 2 ? hexDigit(text[0]) : -1;
    const int low = text.size() >= 2 ? hexDigit(text[1]) : -1;
    if (high < 0 || low < 0) {
      error = "expected two hex digits";
      return false;
    }
    data.push_back(static_cast<char>(high * 16 + low));
    text.remove_prefix(2);
    skipBlanks(text);
    if (text.empty()) break;
    if (text.front() != ',') {
      error = "expected a comma between hex bytes";
      return false;
    }
    text.remove_prefix(1);
    skipBlanks(text);
    if (text.empty()) {
      error = "expected a hex byte after the comma";
      return false;
    }
  }
  return true;
}

bool parseStrings(std::string_view text, std::uint32_t type, std::string& data,
                  std::string& error) {
  std::vector<std::string> strings;
  while (!text.empty()) {
    if (text.front() != '"') {
      error = "expected a quoted string";
      return false;
    }
    std::string string;
    if (!parseQuoted(text, string, error)) return false;
    strings.push_back(std::move(string));
    skipBlanks(text);
    if (text.empty()) break;
    if (text.front() != ',') {
      error = "expected a comma between strings";
      return false;
    }
    text.remove_prefix(1);
    skipBlanks(text);
    if (text.empty()) {
      error = "expected a string after the comma";
      return false;
    }
  }
  if (type != kRegMultiSz) {
    if (strings.size() != 1) {
      error = strings.empty() ? "expected data" : "only REG_MULTI_SZ takes a list of strings";
      return false;
    }
    data = strings.front();
    data.push_back('\0');
    return true;
  }
  for (const std::string& string : strings) {
    if (string.find('\0') != std::string::npos) {
      error = "a REG_MULTI_SZ string cannot hold \\0 (write the data in hex)";
      return false;
    }
    data += string;
    data.push_back('\0');
  }
  data.push_back('\0');
  return true;
}

bool parseData(std::string_view text, std::uint32_t type, std::string& data, std::string& error) {
  if (text.substr(0, 4) == "hex:") return parseHex(text.substr(4), data, error);
  if (text.empty() || text.front() == '"') return parseStrings(text, type, data, error);
  if (text.front() >= '0' && text.front() <= '9') return parseNumber(text, data, error);
  error = "expected data: \"text\", a number or hex:";
  return false;
}

bool parseValueLine(std::string_view line, RegTreeKey& key, std::string& error) {
  std::string name;
  if (!parseQuoted(line, name, error)) return false;
  skipBlanks(line);
  if (line.empty() || line.front() != '=') {
    error = "expected = after the value name";
    return false;
  }
  line.remove_prefix(1);
  skipBlanks(line);
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) {
    error = "expected TYPE:data after =";
    return false;
  }
  std::string_view typeToken = line.substr(0, colon);
  while (!typeToken.empty() && isBlank(typeToken.back())) typeToken.remove_suffix(1);
  std::uint32_t type = 0;
  if (!parseType(typeToken, type, error)) return false;
  std::string_view dataText = line.substr(colon + 1);
  skipBlanks(dataText);
  while (!dataText.empty() && isBlank(dataText.back())) dataText.remove_suffix(1);
  std::string data;
  if (!parseData(dataText, type, data, error)) return false;
  if (!key.addValue(name, type, std::move(data))) {
    error = "value \"" + name + "\" appears twice in this key";
    return false;
  }
  return true;
}

RegTreeKey* parseKeyLine(std::string_view line, RegTreeKey& root, std::string& error) {
  while (!line.empty() && isBlank(line.back())) line.remove_suffix(1);
  if (line.size() < 2 || line.back() != ']') {
    error = "expected ] at the end of the key line";
    return nullptr;
  }
  std::string_view path = line.substr(1, line.size() - 2);
  RegTreeKey* key = &root;
  if (path.empty()) return key;
  while (true) {
    const std::size_t slash = path.find('\\');
    const std::string_view name = path.substr(0, slash);
    if (name.empty()) {
      error = "empty key name in the path";
      return nullptr;
    }
    RegTreeKey* child = key->findChild(name);
    key = child != nullptr ? child : &key->addChild(std::string(name));
    if (slash == std::string_view::npos) return key;
    path.remove_prefix(slash + 1);
  }
}

// ---- Writing ----

void appendQuoted(std::string& out, std::string_view text) {
  out.push_back('"');
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\0': out += "\\0"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default:
        if (byte < 0x20 || byte >= 0x7F) {
          out += "\\x";
          out.push_back(kHexDigits[byte >> 4]);
          out.push_back(kHexDigits[byte & 0xF]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

void appendHex(std::string& out, std::string_view data) {
  out += "hex:";
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (i > 0) out.push_back(',');
    const auto byte = static_cast<unsigned char>(data[i]);
    out.push_back(kHexDigits[byte >> 4]);
    out.push_back(kHexDigits[byte & 0xF]);
  }
}

bool endsWithNul(std::string_view data) { return !data.empty() && data.back() == '\0'; }

// a\0b\0\0 as "a","b"; \0 as nothing. Other shapes have no list form.
bool appendStringList(std::string& out, std::string_view data) {
  if (!endsWithNul(data)) return false;
  data.remove_suffix(1);
  if (data.empty()) return true;
  if (!endsWithNul(data)) return false;
  data.remove_suffix(1);
  bool first = true;
  while (true) {
    const std::size_t nul = data.find('\0');
    if (!first) out.push_back(',');
    first = false;
    appendQuoted(out, data.substr(0, nul));
    if (nul == std::string_view::npos) return true;
    data.remove_prefix(nul + 1);
  }
}

void appendData(std::string& out, const RegTreeValue& value) {
  const std::string_view data = value.data;
  if ((value.type == kRegSz || value.type == kRegExpandSz) && endsWithNul(data)) {
    appendQuoted(out, data.substr(0, data.size() - 1));
    return;
  }
  if (value.type == kRegMultiSz) {
    const std::size_t start = out.size();
    if (appendStringList(out, data)) return;
    out.resize(start);
  }
  if (value.type == kRegDword && data.size() == 4) {
    std::uint32_t number = 0;
    for (int i = 3; i >= 0; --i) number = (number << 8) | static_cast<unsigned char>(data[i]);
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", number);
    out += text;
    return;
  }
  appendHex(out, data);
}

void appendType(std::string& out, std::uint32_t type) {
  for (const TypeName& known : kTypeNames) {
    if (known.type == type) {
      out += known.name;
      return;
    }
  }
  out += std::to_string(type);
}

void appendValues(std::string& out, const RegTreeKey& key) {
  for (const RegTreeValue& value : key.values()) {
    appendQuoted(out, value.name);
    out.push_back('=');
    appendType(out, value.type);
    out.push_back(':');
    appendData(out, value);
    out.push_back('\n');
  }
}

// Parents before children, so that reading back rebuilds every key's
// subkeys in their order.
void appendKeys(std::string& out, const RegTreeKey& key, std::string& path) {
  const std::size_t parentLength = path.size();
  for (const auto& child : key.children()) {
    if (parentLength > 0) path.push_back('\\');
    path += child->name();
    out += "\n[";
    out += path;
    out += "]\n";
    appendValues(out, *child);
    appendKeys(out, *child, path);
    path.resize(parentLength);
  }
}

}  // namespace

bool parseRegistryText(std::string_view text, RegTreeKey& root, RegParseError& error) {
  bool headerSeen = false;
  RegTreeKey* current = nullptr;
  std::size_t lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    const std::size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    skipBlanks(line);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;

    error.line = lineNumber;
    if (!headerSeen) {
      while (!line.empty() && isBlank(line.back())) line.remove_suffix(1);
      if (line != kHeader) {
        error.message = "expected the first line \"" + std::string(kHeader) + "\"";
        return false;
      }
      headerSeen = true;
    } else if (line.front() == '[') {
      current = parseKeyLine(line, root, error.message);
      if (current == nullptr) return false;
    } else if (line.front() == '"') {
      if (current == nullptr) {
        error.message = "value line before the first [key] line";
        return false;
      }
      if (!parseValueLine(line, *current, error.message)) return false;
    } else {
      error.message = "expected a [key] line or a \"value\" line";
      return false;
    }
  }
  if (!headerSeen) {
    error.line = lineNumber + 1;
    error.message = "expected the first line \"" + std::string(kHeader) + "\"";
    return false;
  }
  error = RegParseError{};
  return true;
}

std::string formatRegistryText(const RegTreeKey& root) {
  std::string out;
  out += kHeader;
  out += "\n; Edit only while no vornd command runs; comments are not kept.\n";
  if (!root.values().empty()) {
    out += "\n[]\n";
    appendValues(out, root);
  }
  std::string path;
  appendKeys(out, root, path);
  return out;
}

}  // namespace platform::posix
