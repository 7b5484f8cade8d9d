#include "session/address_prefix.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/address_text.h"

namespace {

// Each list as parsed ("address/bits" items), or the error it gives.
TEST(AddressPrefix, ListsParseToTheirPrefixesOrNameTheBadItem) {
  const struct {
    const char *text, *result;
  } cases[] = {
      {" ,\t, ", ""},
      {"10.0.0.0/8 2001:db8::/32, 127.0.0.1", "10.0.0.0/8 2001:db8::/32 127.0.0.1/32"},
      {"10.1.2.3/8,,::1", "10.0.0.0/8 ::1/128"},
      {"192.0.2.255/25\t2001:db8:ffff::1/33", "192.0.2.128/25 2001:db8:8000::/33"},
      {"::ffff:10.1.0.0/104 ::ffff:0:0/95", "10.0.0.0/8 ::fffe:0:0/95"},
      {"1.2.3.4 10.0.0.0/33", "\"10.0.0.0/33\" is not an address or prefix"},
      {"10.0.0.0/08", "\"10.0.0.0/08\" is not an address or prefix"},
      {"10.0.0.0/+8", "\"10.0.0.0/+8\" is not an address or prefix"},
      {"1.2.3.4/4294967328", "\"1.2.3.4/4294967328\" is not an address or prefix"},
      {"host.example 1.2.3", "\"host.example\" is not an address or prefix"},
  };
  for (const auto& c : cases) {
    std::vector<AddressPrefix> prefixes(1);
    std::string result, error;
    const bool ok = parsePrefixList(c.text, &prefixes, &error);
    for (const AddressPrefix& p : prefixes) {
      result += (result.empty() ? "" : " ") + addressText(p.base) + '/' + std::to_string(p.bits);
    }
    EXPECT_EQ(ok ? result : error, c.result) << c.text;
    EXPECT_TRUE(ok ? c.result[0] != '"' : prefixes.empty()) << c.text;
  }
  std::vector<platform::NetAddress> addresses;
  std::string error;
  ASSERT_TRUE(parseAddressList("10.0.0.1, ::ffff:10.0.0.1", &addresses, &error));
  EXPECT_TRUE(addresses.size() == 2 && addresses[1].isV4Mapped());
  EXPECT_FALSE(parseAddressList("10.0.0.1 10.0.0.0/8", &addresses, &error));
  EXPECT_EQ(error, "\"10.0.0.0/8\" is not an address");
  EXPECT_TRUE(addresses.empty());
}

TEST(AddressPrefix, ListsContainTheirAddressesOnly) {
  const struct {
    const char *list, *address;
    bool contained;
  } cases[] = {
      {"10.0.0.0/8", "10.255.1.2", true},
      {"10.0.0.0/8", "11.0.0.0", false},
      {"10.0.0.0/8", "::ffff:10.1.2.3", true},
      {"192.0.2.128/25", "192.0.2.128", true},
      {"192.0.2.128/25", "192.0.2.127", false},
      {"2001:db8::/33", "2001:db8:7fff::1", true},
      {"2001:db8::/33", "2001:db8:8000::", false},
      {"0.0.0.0/0", "255.255.255.255", true},
      {"0.0.0.0/0", "::", false},
      {"::/0", "::ffff:10.0.0.1", false},
      {"::ffff:10.0.0.0/104", "10.9.9.9", true},
      {"10.0.0.0/8, 192.168.0.0/16 ::1", "192.168.7.7", true},
  };
  for (const auto& c : cases) {
    std::vector<AddressPrefix> prefixes;
    platform::NetAddress address;
    ASSERT_TRUE(parsePrefixList(c.list, &prefixes, nullptr)) << c.list;
    ASSERT_TRUE(parseAddress(c.address, &address)) << c.address;
    EXPECT_EQ(anyContains(prefixes, address), c.contained) << c.list << " " << c.address;
  }
}

}  // namespace
