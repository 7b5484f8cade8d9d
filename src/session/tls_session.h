// A connection that came in over TLS, as the relay reports it in the first
// line of the clear stream it hands the daemon (platform/tls_relay.h).
#pragma once

#include <optional>
#include <string>
#include <string_view>

struct TlsSession {
  std::string protocol;       // as the library names it: TLSv1.2, TLSv1.3
  std::string cipher;
  std::string clientSubject;  // empty without a client certificate
};

// The relay's first line, its line break taken off.
struct RelayVerdict {
  bool accepted = false;
  TlsSession session;  // when accepted
  std::string reason;  // when not: why the handshake failed
};

// How the relay's reason begins, and the daemon's, when the handshake did
// not come within the bound.
inline constexpr std::string_view kNoHandshakeInTime = "no TLS handshake within ";

// The most a relay's line may hold, its line break included.
inline constexpr std::size_t kLongestRelayLine = 1024;

// Nothing for a line the relay never writes.
//
//   "ok TLSv1.3 TLS_AES_128_GCM_SHA256"         accepted, no client certificate
//   "ok TLSv1.2 ECDHE-RSA-AES128-GCM-SHA256 CN=a,O=b"   with its subject
//   "fail TLS handshake failed: wrong version number"    refused, the reason
//   "ok TLSv1.3", "maybe", ""                           nothing
std::optional<RelayVerdict> parseRelayLine(std::string_view line);
