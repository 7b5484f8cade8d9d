#include "platform/address_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Text in, the canonical text out ("" where it is no address).
TEST(AddressText, EachTextParsesToItsCanonicalFormOrNot) {
  const struct {
    const char* text;
    const char* canonical;
  } cases[] = {
      {"127.0.0.2", "127.0.0.2"},
      {"0.0.0.0", "0.0.0.0"},
      {"255.255.255.255", "255.255.255.255"},
      {"::", "::"},
      {"::1", "::1"},
      {"2001:DB8:0:0:0:0:0:7", "2001:db8::7"},
      {"2001:0db8::0001", "2001:db8::1"},
      {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},  // the first of equal runs
      {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},        // the longest run
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero group stays
      {"fe80::", "fe80::"},
      {"::ffff:192.0.2.1", "::ffff:192.0.2.1"},
      {"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304"},
      {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"},
      {"", ""},
      {"1.2.3", ""},
      {"1.2.3.4.5", ""},
      {"256.1.1.1", ""},
      {"1.2.3.0004", ""},
      {"1..2.3", ""},
      {" 1.2.3.4", ""},
      {"1.2.3.4 ", ""},
      {"[::1]", ""},
      {"::1%eth0", ""},
      {"1:2:3:4:5:6:7:8:9", ""},
      {"1:2:3:4:5:6:7", ""},
      {"1::2::3", ""},
      {"12345::", ""},
      {"1:2:3:4:5:6:7::8", ""},
      {"::1.2.3.4.5", ""},
      {"g::", ""},
      {"localhost", ""},
  };
  for (const auto& c : cases) {
    platform::NetAddress address = platform::NetAddress::ipv4(0x01020304);
    const bool parsed = parseAddress(c.text, &address);
    EXPECT_EQ(parsed, c.canonical[0] != '\0') << c.text;
    if (parsed) {
      EXPECT_EQ(addressText(address), c.canonical) << c.text;
    } else {
      EXPECT_EQ(address, platform::NetAddress::ipv4(0x01020304)) << c.text;
    }
  }
}

TEST(AddressText, SourcesAreWholeIpv4AddressesAndIpv6Prefixes) {
  const struct {
    const char* address;
    unsigned bits;
    const char* source;
  } cases[] = {
      {"192.0.2.7", 64, "192.0.2.7"},
      {"::ffff:192.0.2.7", 64, "192.0.2.7"},
      {"2001:db8:1:2:aaaa::7", 64, "2001:db8:1:2::"},
      {"2001:db8:1:2:aaaa::7", 128, "2001:db8:1:2:aaaa::7"},
      {"2001:db8:1:2:aaaa::7", 200, "2001:db8:1:2:aaaa::7"},
      {"2001:db8:1:2ff:aaaa::7", 56, "2001:db8:1:200::"},
      {"2001:db8:1:f2ff:aaaa::7", 52, "2001:db8:1:f000::"},
      {"2001:db8::1", 0, "::"},
  };
  for (const auto& c : cases) {
    platform::NetAddress address;
    ASSERT_TRUE(parseAddress(c.address, &address)) << c.address;
    EXPECT_EQ(addressText(sourceOf(address, c.bits)), c.source) << c.address << '/' << c.bits;
  }
  platform::NetAddress a, b, other;
  ASSERT_TRUE(parseAddress("2001:db8:0:1::5", &a));
  ASSERT_TRUE(parseAddress("2001:db8:0:1:ffff::9", &b));
  ASSERT_TRUE(parseAddress("2001:db8:0:2::5", &other));
  EXPECT_EQ(sourceOf(a, 64), sourceOf(b, 64));
  EXPECT_NE(sourceOf(a, 64), sourceOf(other, 64));
  EXPECT_EQ(std::hash<platform::NetAddress>{}(sourceOf(a, 64)),
            std::hash<platform::NetAddress>{}(sourceOf(b, 64)));
}

}  // namespace
