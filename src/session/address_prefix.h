// Addresses and prefixes as the configuration lists them: the balancers
// whose PROXY headers are believed, the networks a setting applies to.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/net_address.h"

struct AddressPrefix {
  platform::NetAddress base;  // bits beyond `bits` are zero
  unsigned bits = 0;          // 0-32 for IPv4, 0-128 for IPv6

  // An IPv4-mapped IPv6 address is compared as the IPv4 address it stands
  // for, so that a client on a dual-stack socket matches its IPv4 prefix.
  bool contains(const platform::NetAddress& address) const;
};

// Items separated by blanks (spaces, tabs) and/or commas, any run of them
// counting as one separator; empty text gives an empty list. Each item an
// address (the whole address: /32, /128) or an address, '/' and a decimal
// length without sign or leading zero, its host bits then cleared
// (10.1.2.3/8 is 10.0.0.0/8). An IPv4-mapped prefix of /96 or longer is
// kept as the IPv4 prefix it covers (::ffff:10.0.0.0/104 is 10.0.0.0/8),
// else contains() could never match it. On success the list replaces
// *prefixes; on failure *prefixes is left empty and *error (when not null)
// names the first bad item: "10.0.0.0/33" is not an address or prefix.
bool parsePrefixList(std::string_view text, std::vector<AddressPrefix>* prefixes,
                     std::string* error);

// The same lists of addresses alone, kept as written (a mapped address
// stays IPv6): "10.0.0.0/8" is not an address.
bool parseAddressList(std::string_view text, std::vector<platform::NetAddress>* addresses,
                      std::string* error);

bool anyContains(const std::vector<AddressPrefix>& prefixes, const platform::NetAddress& address);
