// The PROXY protocol header a load balancer in front of the daemon (HAProxy
// with send-proxy or send-proxy-v2) writes at the start of each TCP
// connection: who the client really is, since the connection itself comes
// from the balancer. Both the text form (v1) and the binary one (v2).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/net_address.h"

enum class ProxyParse { NeedMore, Done, Bad };

struct ProxyHeader {
  // The bytes the header takes, to be consumed from the connection before
  // the client's own bytes.
  std::size_t length = 0;
  // The balancer speaks for itself (a v2 LOCAL header, such as its health
  // checks; v1 UNKNOWN; v2 PROXY for an unspecified or unix family): the
  // connection's own endpoints stand, source and destination are zero.
  bool local = false;
  platform::Endpoint source;  // the client
  platform::Endpoint destination;
};

// "PROXY TCP6 " and two IPv6 addresses and two ports fit, with CRLF.
inline constexpr std::size_t kProxyV1MaxLength = 107;
// The 16 fixed bytes and at most 2048 of addresses and TLVs; larger
// headers are refused rather than buffered.
inline constexpr std::size_t kProxyV2MaxLength = 16 + 2048;
inline constexpr std::size_t kProxyHeaderMaxLength = kProxyV2MaxLength;

// `bytes` are the first `size` bytes the connection sent, perhaps fewer
// than the header. NeedMore while they are a valid beginning of a header
// (always shorter than kProxyHeaderMaxLength): peek again once more have
// come. Bad as soon as they cannot begin a header. Done: *header is filled
// in; it is left as it was otherwise. Nothing past `size` is read.
// Addresses are as sent: an IPv4-mapped IPv6 source stays IPv6.
ProxyParse parseProxyHeader(const std::uint8_t* bytes, std::size_t size, ProxyHeader* header);
