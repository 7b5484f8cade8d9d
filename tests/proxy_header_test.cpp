#include "session/proxy_header.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/address_text.h"

namespace {

// The v2 signature, then `hex` (pairs of digits, blanks between) as bytes.
std::string v2(std::string_view hex) {
  std::string bytes("\r\n\r\n\0\r\nQUIT\n", 12);
  for (std::size_t i = 0; i < hex.size(); ++i) {
    if (hex[i] != ' ')
      bytes += static_cast<char>(std::stoi(std::string(hex.substr(i++, 2)), 0, 16));
  }
  return bytes;
}

ProxyParse parse(const std::string& bytes, std::size_t size, ProxyHeader* header) {
  return parseProxyHeader(reinterpret_cast<const std::uint8_t*>(bytes.data()), size, header);
}

// Each header waits for its last byte, then takes exactly its own bytes.
// What it says is written as a v1 line's fields, "local" first if local.
TEST(ProxyHeader, ValidHeadersNeedEachByteAndTakeNoMore) {
  const std::string local = "local 0.0.0.0 0.0.0.0 0 0";
  const struct {
    std::string bytes, says;
  } cases[] = {
      {"PROXY TCP4 192.0.2.1 198.51.100.2 51234 1455\r\n", "192.0.2.1 198.51.100.2 51234 1455"},
      {"PROXY TCP6 2001:db8::1 ::ffff:192.0.2.9 0 65535\r\n",
       "2001:db8::1 ::ffff:192.0.2.9 0 65535"},
      {"PROXY UNKNOWN\r\n", local},
      {"PROXY UNKNOWN" + std::string(92, 'x') + "\r\n", local},  // 107 bytes
      {v2("21 11 000c c0000201 c6336402 c822 05af"), "192.0.2.1 198.51.100.2 51234 1455"},
      {v2("21 21 0024 20010db8000000000000000000000001 00000000000000000000ffffc0000209 0050 "
          "01bb"),
       "2001:db8::1 ::ffff:192.0.2.9 80 443"},
      {v2("21 11 0014 c0000201 c6336402 c822 05af 04 0005 6162636465"),  // and a TLV
       "192.0.2.1 198.51.100.2 51234 1455"},
      {v2("20 00 0000"), local},
      {v2("20 12 000c c0000201 c6336402 c822 05af"), local},  // LOCAL, any family
      {v2("21 00 0000"), local},
      {v2("21 31 00d8") + std::string(216, 'p'), local},
      {v2("20 00 0800") + std::string(2048, 't'), local},  // the largest
  };
  for (const auto& c : cases) {
    ProxyHeader header;
    for (std::size_t size = 0; size < c.bytes.size(); ++size) {
      ASSERT_EQ(parse(c.bytes, size, &header), ProxyParse::NeedMore) << c.bytes << " at " << size;
    }
    const std::string followed = c.bytes + "\x16\x03\x01 PROXY";
    ASSERT_EQ(parse(followed, followed.size(), &header), ProxyParse::Done) << c.bytes;
    EXPECT_EQ(header.length, c.bytes.size()) << c.bytes;
    const std::string says = (header.local ? "local " : "") + addressText(header.source.address) +
                             ' ' + addressText(header.destination.address) + ' ' +
                             std::to_string(header.source.port) + ' ' +
                             std::to_string(header.destination.port);
    EXPECT_EQ(says, c.says) << c.bytes;
  }
}

// `valid` could still begin a header; the first byte of `then`, or the
// field it ends, makes that impossible.
TEST(ProxyHeader, MalformedHeadersAreBadAsSoonAsTheyCannotBeOne) {
  const std::string tcp4 = "PROXY TCP4 192.0.2.1 192.0.2.2 ";
  const struct {
    std::string valid, then;
  } cases[] = {
      {"", "GET /"},
      {"PROXY TCP", "5"},
      {"PROXY TCP4", "\r\n"},
      {"PROXY TCP4 2001", ":"},
      {"PROXY TCP4 256.0.0.1", " "},
      {"PROXY TCP6 192.0.2.1", " "},
      {tcp4, "-"},
      {tcp4, " "},
      {tcp4 + "0", "8"},
      {tcp4 + "6553", "6"},
      {tcp4 + "80", "\r"},
      {tcp4 + "80 443", " "},
      {tcp4 + "80 443\r", "x"},
      {"PROXY UNKNOWN" + std::string(92, 'x'), "x"},
      {v2("").substr(0, 5), "\x0E"},
      {v2(""), "\x11"},          // version 1
      {v2(""), "\x22"},          // command 2
      {v2("21"), "\x12"},        // UDP
      {v2("21 11 00"), "\x0b"},  // shorter than its addresses
      {v2("21 31 00"), "\xd7"},
      {v2("20 00"), "\x09"},
      {v2("20 00 08"), "\x01"},  // 2049
  };
  for (const auto& c : cases) {
    ProxyHeader header;
    const std::string bad = c.valid + c.then;
    EXPECT_EQ(parse(c.valid, c.valid.size(), &header), ProxyParse::NeedMore) << c.valid;
    EXPECT_EQ(parse(bad, bad.size(), &header), ProxyParse::Bad) << bad;
    EXPECT_EQ(parse(bad + "\r\n", bad.size() + 2, &header), ProxyParse::Bad) << bad;
  }
}

}  // namespace
