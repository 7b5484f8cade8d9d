#include "platform/address_text.h"

#include <array>
#include <cstdint>

namespace {

bool parseIpv4(std::string_view text, std::array<std::uint8_t, 4>* out) {
  std::array<std::uint8_t, 4> parts{};
  std::size_t part = 0;
  std::size_t i = 0;
  while (true) {
    std::size_t digits = 0;
    unsigned value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
      ++digits;
      ++i;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    parts[part++] = static_cast<std::uint8_t>(value);
    if (part == 4) break;
    if (i >= text.size() || text[i] != '.') return false;
    ++i;
  }
  if (i != text.size()) return false;
  *out = parts;
  return true;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The groups of one side of "::" (or of the whole text): each one to four
// hex digits, the last perhaps IPv4 text (two groups), when `tailMayBeIpv4`.
bool parseGroups(std::string_view text, bool tailMayBeIpv4, std::array<std::uint16_t, 8>& groups,
                 std::size_t& count) {
  count = 0;
  if (text.empty()) return true;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(':', start);
    const std::string_view group =
        text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (end == std::string_view::npos && tailMayBeIpv4 &&
        group.find('.') != std::string_view::npos) {
      std::array<std::uint8_t, 4> ipv4{};
      if (count > 6 || !parseIpv4(group, &ipv4)) return false;
      groups[count++] = static_cast<std::uint16_t>((ipv4[0] << 8) | ipv4[1]);
      groups[count++] = static_cast<std::uint16_t>((ipv4[2] << 8) | ipv4[3]);
      return true;
    }
    if (group.empty() || group.size() > 4 || count == 8) return false;
    unsigned value = 0;
    for (char c : group) {
      const int digit = hexValue(c);
      if (digit < 0) return false;
      value = value * 16 + static_cast<unsigned>(digit);
    }
    groups[count++] = static_cast<std::uint16_t>(value);
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

bool parseIpv6(std::string_view text, std::array<std::uint8_t, 16>* out) {
  std::array<std::uint16_t, 8> head{}, tail{};
  std::size_t headCount = 0, tailCount = 0;
  const std::size_t gap = text.find("::");
  if (gap == std::string_view::npos) {
    if (!parseGroups(text, true, head, headCount) || headCount != 8) return false;
  } else {
    const std::string_view before = text.substr(0, gap);
    const std::string_view after = text.substr(gap + 2);
    if (after.find("::") != std::string_view::npos) return false;
    if (!parseGroups(before, false, head, headCount)) return false;
    if (!parseGroups(after, true, tail, tailCount)) return false;
    // "::" stands for at least one zero group.
    if (headCount + tailCount > 7) return false;
  }
  std::array<std::uint16_t, 8> groups{};
  for (std::size_t i = 0; i < headCount; ++i) groups[i] = head[i];
  for (std::size_t i = 0; i < tailCount; ++i) groups[8 - tailCount + i] = tail[i];
  for (std::size_t i = 0; i < 8; ++i) {
    (*out)[2 * i] = static_cast<std::uint8_t>(groups[i] >> 8);
    (*out)[2 * i + 1] = static_cast<std::uint8_t>(groups[i]);
  }
  return true;
}

}  // namespace

std::string addressText(const platform::NetAddress& address) {
  const auto& b = address.bytes;
  if (address.isIpv4()) {
    return std::to_string(b[0]) + '.' + std::to_string(b[1]) + '.' + std::to_string(b[2]) + '.' +
           std::to_string(b[3]);
  }
  if (address.isV4Mapped()) return "::ffff:" + addressText(address.unmapped());
  std::array<unsigned, 8> groups{};
  for (std::size_t i = 0; i < 8; ++i) groups[i] = (unsigned{b[2 * i]} << 8) | b[2 * i + 1];
  // The longest run of zero groups, two or more long; the first of equals.
  std::size_t bestStart = 8, bestLength = 0;
  for (std::size_t i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > bestLength) {
      bestStart = i;
      bestLength = j - i;
    }
    i = j;
  }
  if (bestLength < 2) bestStart = 8;
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < 8; ++i) {
    if (i == bestStart) {
      text += "::";
      i += bestLength - 1;
      continue;
    }
    if (!text.empty() && text.back() != ':') text += ':';
    bool leading = true;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const unsigned digit = (groups[i] >> shift) & 0xF;
      if (leading && digit == 0 && shift != 0) continue;
      leading = false;
      text += kHex[digit];
    }
  }
  return text;
}

bool parseAddress(std::string_view text, platform::NetAddress* address) {
  if (text.find(':') == std::string_view::npos) {
    std::array<std::uint8_t, 4> ipv4{};
    if (!parseIpv4(text, &ipv4)) return false;
    platform::NetAddress parsed;
    for (std::size_t i = 0; i < 4; ++i) parsed.bytes[i] = ipv4[i];
    *address = parsed;
    return true;
  }
  std::array<std::uint8_t, 16> ipv6{};
  if (!parseIpv6(text, &ipv6)) return false;
  *address = platform::NetAddress::ipv6(ipv6);
  return true;
}

platform::NetAddress sourceOf(const platform::NetAddress& address, unsigned ipv6PrefixBits) {
  const platform::NetAddress plain = address.unmapped();
  if (plain.isIpv4() || ipv6PrefixBits >= 128) return plain;
  platform::NetAddress source = plain;
  for (std::size_t i = 0; i < 16; ++i) {
    const unsigned first = static_cast<unsigned>(i) * 8;
    if (first >= ipv6PrefixBits) {
      source.bytes[i] = 0;
    } else if (first + 8 > ipv6PrefixBits) {
      const unsigned keep = ipv6PrefixBits - first;
      source.bytes[i] &= static_cast<std::uint8_t>(0xFF << (8 - keep));
    }
  }
  return source;
}
