#include "session/proxy_header.h"

#include <array>
#include <string_view>

#include "platform/address_text.h"

namespace {

constexpr std::string_view kV1Signature = "PROXY ";
constexpr std::uint8_t kV2Signature[] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                         0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr std::size_t kV2FixedLength = 16;

// ---- v1: "PROXY TCP4 192.0.2.1 192.0.2.2 51234 1455\r\n" ----------------

enum class Field { Address, Port };

// Whether `text` can begin a port: decimal, no leading zero, at most 65535.
bool portBeginning(std::string_view text) {
  if (text.size() > 5 || (text.size() > 1 && text[0] == '0')) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value <= 65535;
}

// Whether `text` can begin an address of the family: its characters and
// its length (the longest IPv6 text, with an IPv4 tail, is 45 characters).
// The address itself is judged once it is whole.
bool addressBeginning(std::string_view text, bool ipv6) {
  if (text.size() > (ipv6 ? 45u : 15u)) return false;
  for (char c : text) {
    const bool digit = c >= '0' && c <= '9';
    const bool hex = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!digit && c != '.' && !(ipv6 && (hex || c == ':'))) return false;
  }
  return true;
}

// `text` is the line after "PROXY ", up to its CR; `whole` when the CR has
// come. Done once the line is known to be good (UNKNOWN: as soon as the
// word is there), NeedMore while it can still become so; the LF is the
// caller's to wait for.
ProxyParse parseV1Line(std::string_view text, bool whole, ProxyHeader* parsed) {
  constexpr std::string_view kUnknown = "UNKNOWN";
  // Whatever follows UNKNOWN is to be ignored, whatever it is.
  if (text.substr(0, kUnknown.size()) == kUnknown) {
    parsed->local = true;
    return ProxyParse::Done;
  }
  const bool tcp4 = text.substr(0, 5) == "TCP4 ";
  if (!tcp4 && text.substr(0, 5) != "TCP6 ") {
    const bool beginning = kUnknown.starts_with(text) ||
                           std::string_view("TCP4 ").starts_with(text) ||
                           std::string_view("TCP6 ").starts_with(text);
    return beginning && !whole ? ProxyParse::NeedMore : ProxyParse::Bad;
  }
  // Source address, destination address, source port, destination port,
  // each after a single space. Each field is judged as it arrives, whole
  // once a space or the CR follows it.
  const std::string_view rest = text.substr(5);
  platform::Endpoint* const endpoints[] = {&parsed->source, &parsed->destination};
  std::size_t count = 0, start = 0;
  while (true) {
    if (count == 4) return ProxyParse::Bad;  // a fifth field, or a trailing space
    const std::size_t space = rest.find(' ', start);
    const std::string_view field = rest.substr(
        start, space == std::string_view::npos ? std::string_view::npos : space - start);
    const bool fieldWhole = whole || space != std::string_view::npos;
    const Field kind = count < 2 ? Field::Address : Field::Port;
    if (kind == Field::Address ? !addressBeginning(field, !tcp4) : !portBeginning(field)) {
      return ProxyParse::Bad;
    }
    if (fieldWhole) {
      platform::Endpoint& endpoint = *endpoints[count % 2];
      if (kind == Field::Port) {
        if (field.empty()) return ProxyParse::Bad;
        unsigned port = 0;
        for (char c : field) port = port * 10 + static_cast<unsigned>(c - '0');
        endpoint.port = static_cast<std::uint16_t>(port);
      } else if (!parseAddress(field, &endpoint.address) || endpoint.address.isIpv4() != tcp4) {
        return ProxyParse::Bad;
      }
    }
    ++count;
    if (space == std::string_view::npos) break;
    start = space + 1;
  }
  if (!whole) return ProxyParse::NeedMore;
  return count == 4 ? ProxyParse::Done : ProxyParse::Bad;
}

ProxyParse parseV1(const std::uint8_t* bytes, std::size_t size, ProxyHeader* header) {
  // The line ends at its first CR, which needs room for its LF within the
  // maximum: any other byte where the last CR could be is one too many.
  const std::size_t lastCr = kProxyV1MaxLength - 2;
  std::size_t end = kV1Signature.size();
  while (end < size && bytes[end] != '\r') {
    if (end == lastCr) return ProxyParse::Bad;
    ++end;
  }
  const bool whole = end < size;
  const bool lineFeed = end + 1 < size;
  if (lineFeed && bytes[end + 1] != '\n') return ProxyParse::Bad;

  ProxyHeader parsed;
  const std::string_view text(reinterpret_cast<const char*>(bytes) + kV1Signature.size(),
                              end - kV1Signature.size());
  const ProxyParse result = parseV1Line(text, whole, &parsed);
  if (result != ProxyParse::Done) return result;
  if (!lineFeed) return ProxyParse::NeedMore;
  parsed.length = end + 2;
  *header = parsed;
  return ProxyParse::Done;
}

// ---- v2: the binary header ------------------------------------------------

std::uint16_t read16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

ProxyParse parseV2(const std::uint8_t* bytes, std::size_t size, ProxyHeader* header) {
  // Each byte is judged as soon as it is there, so that a stream that is
  // no header is refused without waiting for the rest.
  if (size <= 12) return ProxyParse::NeedMore;
  const std::uint8_t versionCommand = bytes[12];
  if ((versionCommand >> 4) != 2 || (versionCommand & 0x0F) > 1) return ProxyParse::Bad;
  // LOCAL: the balancer's own connection (a health check); whatever
  // addresses it carries are to be ignored, whatever their family.
  const bool local = (versionCommand & 0x0F) == 0;
  if (size <= 13) return ProxyParse::NeedMore;
  const std::uint8_t familyProtocol = local ? 0x00 : bytes[13];
  std::size_t addressLength = 0;
  switch (familyProtocol) {
    case 0x00:  // unspecified
      break;
    case 0x11:  // TCP over IPv4
      addressLength = 12;
      break;
    case 0x21:  // TCP over IPv6
      addressLength = 36;
      break;
    case 0x31:  // unix, stream and datagram: two 108-byte paths
    case 0x32:
      addressLength = 216;
      break;
    default:  // UDP, or no family known
      return ProxyParse::Bad;
  }
  constexpr std::size_t kMaxPayload = kProxyV2MaxLength - kV2FixedLength;
  if (size <= 14) return ProxyParse::NeedMore;
  // The length's high byte alone may make the header too long.
  if (bytes[14] > (kMaxPayload >> 8)) return ProxyParse::Bad;
  if (size <= 15) return ProxyParse::NeedMore;
  // Addresses, then TLVs, which nothing here needs: they are skipped.
  const std::size_t payload = read16(bytes + 14);
  if (payload > kMaxPayload || payload < addressLength) return ProxyParse::Bad;
  if (size < kV2FixedLength + payload) return ProxyParse::NeedMore;

  ProxyHeader parsed;
  parsed.length = kV2FixedLength + payload;
  const std::uint8_t* const address = bytes + kV2FixedLength;
  if (familyProtocol == 0x11) {
    const auto ipv4 = [](const std::uint8_t* at) {
      return platform::NetAddress::ipv4((std::uint32_t{read16(at)} << 16) | read16(at + 2));
    };
    parsed.source = {ipv4(address), read16(address + 8)};
    parsed.destination = {ipv4(address + 4), read16(address + 10)};
  } else if (familyProtocol == 0x21) {
    const auto ipv6 = [](const std::uint8_t* at) {
      std::array<std::uint8_t, 16> octets{};
      for (std::size_t i = 0; i < octets.size(); ++i) octets[i] = at[i];
      return platform::NetAddress::ipv6(octets);
    };
    parsed.source = {ipv6(address), read16(address + 32)};
    parsed.destination = {ipv6(address + 16), read16(address + 34)};
  } else {
    parsed.local = true;
  }
  *header = parsed;
  return ProxyParse::Done;
}

}  // namespace

ProxyParse parseProxyHeader(const std::uint8_t* bytes, std::size_t size, ProxyHeader* header) {
  if (size == 0) return ProxyParse::NeedMore;
  // The two signatures differ in their first byte.
  const bool text = bytes[0] == static_cast<std::uint8_t>(kV1Signature[0]);
  const std::size_t signatureLength = text ? kV1Signature.size() : sizeof kV2Signature;
  for (std::size_t i = 0; i < size && i < signatureLength; ++i) {
    const std::uint8_t expected =
        text ? static_cast<std::uint8_t>(kV1Signature[i]) : kV2Signature[i];
    if (bytes[i] != expected) return ProxyParse::Bad;
  }
  if (size < signatureLength) return ProxyParse::NeedMore;
  return text ? parseV1(bytes, size, header) : parseV2(bytes, size, header);
}
