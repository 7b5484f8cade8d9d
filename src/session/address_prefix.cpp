#include "session/address_prefix.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "platform/address_text.h"

namespace {

unsigned widthOf(const platform::NetAddress& address) { return address.isIpv4() ? 32 : 128; }

// The mask of byte `index` of a `bits`-long prefix.
std::uint8_t maskOf(std::size_t index, unsigned bits) {
  const unsigned first = static_cast<unsigned>(index) * 8;
  if (first >= bits) return 0;
  if (first + 8 <= bits) return 0xFF;
  return static_cast<std::uint8_t>(0xFF << (8 - (bits - first)));
}

// Calls `item` on each item of the list until it returns false.
template <typename Item>
bool forEachItem(std::string_view text, Item item) {
  const auto separator = [](char c) { return c == ' ' || c == '\t' || c == ','; };
  std::size_t i = 0;
  while (true) {
    while (i < text.size() && separator(text[i])) ++i;
    if (i == text.size()) return true;
    std::size_t end = i;
    while (end < text.size() && !separator(text[end])) ++end;
    if (!item(text.substr(i, end - i))) return false;
    i = end;
  }
}

bool parsePrefix(std::string_view text, AddressPrefix* prefix) {
  const std::size_t slash = text.find('/');
  platform::NetAddress address;
  if (!parseAddress(text.substr(0, slash), &address)) return false;
  unsigned bits = widthOf(address);
  if (slash != std::string_view::npos) {
    const std::string_view digits = text.substr(slash + 1);
    // Three digits at most, so that no number can overflow.
    if (digits.empty() || digits.size() > 3 || (digits.size() > 1 && digits[0] == '0')) {
      return false;
    }
    bits = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      bits = bits * 10 + static_cast<unsigned>(c - '0');
    }
    if (bits > widthOf(address)) return false;
  }
  if (address.isV4Mapped() && bits >= 96) {
    address = address.unmapped();
    bits -= 96;
  }
  for (std::size_t i = 0; i < address.bytes.size(); ++i) address.bytes[i] &= maskOf(i, bits);
  *prefix = {address, bits};
  return true;
}

void fail(std::string* error, std::string_view item, const char* what) {
  if (error) *error = '"' + std::string(item) + "\" is not " + what;
}

}  // namespace

bool AddressPrefix::contains(const platform::NetAddress& address) const {
  const platform::NetAddress plain = address.unmapped();
  if (plain.family != base.family) return false;
  const unsigned length = std::min(bits, widthOf(base));
  for (std::size_t i = 0; i * 8 < length; ++i) {
    if ((plain.bytes[i] ^ base.bytes[i]) & maskOf(i, length)) return false;
  }
  return true;
}

bool parsePrefixList(std::string_view text, std::vector<AddressPrefix>* prefixes,
                     std::string* error) {
  std::vector<AddressPrefix> parsed;
  const bool ok = forEachItem(text, [&](std::string_view item) {
    AddressPrefix prefix;
    if (!parsePrefix(item, &prefix)) {
      fail(error, item, "an address or prefix");
      return false;
    }
    parsed.push_back(prefix);
    return true;
  });
  if (!ok) parsed.clear();
  *prefixes = std::move(parsed);
  return ok;
}

bool parseAddressList(std::string_view text, std::vector<platform::NetAddress>* addresses,
                      std::string* error) {
  std::vector<platform::NetAddress> parsed;
  const bool ok = forEachItem(text, [&](std::string_view item) {
    platform::NetAddress address;
    if (!parseAddress(item, &address)) {
      fail(error, item, "an address");
      return false;
    }
    parsed.push_back(address);
    return true;
  });
  if (!ok) parsed.clear();
  *addresses = std::move(parsed);
  return ok;
}

bool anyContains(const std::vector<AddressPrefix>& prefixes, const platform::NetAddress& address) {
  return std::any_of(prefixes.begin(), prefixes.end(),
                     [&](const AddressPrefix& prefix) { return prefix.contains(address); });
}
