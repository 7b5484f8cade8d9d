// Addresses as text, the same on every platform: what log lines, the
// configuration and the PROXY protocol's text header use.
#pragma once

#include <string>
#include <string_view>

#include "platform/net_address.h"

// 127.0.0.2; 2001:db8::7 (RFC 5952: lower case, leading zeros dropped,
// the longest run of two or more zero groups as "::", the first of equal
// runs; an IPv4-mapped address as ::ffff:192.0.2.1). No brackets.
std::string addressText(const platform::NetAddress& address);

// One address, IPv4 (four decimal parts of at most three digits, each
// 0-255) or IPv6 (eight groups of one to four hex digits, one "::" for a
// run of zero groups, the last two groups perhaps as IPv4 text). Nothing
// else: no brackets, zone, port, blanks or name. False for anything else;
// *address is then left as it was.
bool parseAddress(std::string_view text, platform::NetAddress* address);

// The source a client is counted under for the per-source bounds, the
// failure limits and the log's caps: an IPv4 address alone (an
// IPv4-mapped one as IPv4), an IPv6 address's first `ipv6PrefixBits`
// bits (the rest zero; 128 and more: the whole address).
platform::NetAddress sourceOf(const platform::NetAddress& address, unsigned ipv6PrefixBits);
