// The relay's first line on a TLS connection's clear stream, as the loop
// reads it: a session, a failure with its reason, or nothing the relay
// writes (then the connection is refused, never served as if clear).
#include <gtest/gtest.h>

#include <string>

#include "session/tls_session.h"

namespace {

TEST(RelayLine, EachLineGivesItsVerdictOrNothing) {
  struct Case {
    std::string line;
    bool parsed = false;
    bool accepted = false;
    std::string protocol = "", cipher = "", subject = "", reason = "";
  };
  const Case cases[] = {
      {"ok TLSv1.3 TLS_AES_128_GCM_SHA256", true, true, "TLSv1.3", "TLS_AES_128_GCM_SHA256", "", ""},
      {"ok TLSv1.2 ECDHE-RSA-AES128-GCM-SHA256 CN=a b,O=c", true, true, "TLSv1.2",
       "ECDHE-RSA-AES128-GCM-SHA256", "CN=a b,O=c", ""},
      // A subject cannot break the log line it is written into.
      {std::string("ok TLSv1.3 X CN=a\rb\x7f"), true, true, "TLSv1.3", "X", "CN=a?b?", ""},
      {"fail TLS handshake failed: wrong version number", true, false, "", "", "",
       "TLS handshake failed: wrong version number"},
      {"fail no TLS handshake within 5 seconds", true, false, "", "", "",
       "no TLS handshake within 5 seconds"},
      {"ok TLSv1.3", false},
      {"ok  X", false},
      {"ok TLSv1.3 ", false},
      {"fail ", false},
      {"OK TLSv1.3 X", false},
      {"maybe", false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const auto verdict = parseRelayLine(c.line);
    ASSERT_EQ(c.parsed, verdict.has_value());
    if (!verdict) continue;
    EXPECT_EQ(c.accepted, verdict->accepted);
    EXPECT_EQ(c.protocol, verdict->session.protocol);
    EXPECT_EQ(c.cipher, verdict->session.cipher);
    EXPECT_EQ(c.subject, verdict->session.clientSubject);
    EXPECT_EQ(c.reason, verdict->reason);
  }
}

}  // namespace
