// Connections through a load balancer: the PROXY header of a trusted
// balancer names the client everywhere the daemon names one; from anyone
// else a header is only bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine_probe.h"
#include "platform/address_text.h"
#include "serving_fixture.h"

namespace {

using testing_support::Client;
using testing_support::addressOf;
using testing_support::kAccepted;
using testing_support::kRefused;
using testing_support::record;

std::string v1(const std::string& family, const std::string& client, int port) {
  const std::string destination = family == "TCP6" ? "::1" : "127.0.0.1";
  return "PROXY " + family + " " + client + " " + destination + " " + std::to_string(port) +
         " 8060\r\n";
}

// A binary header: PROXY (or LOCAL) for a TCP client over IPv4 or IPv6.
std::string v2(const char* client, int port, bool local = false) {
  const platform::NetAddress from = addressOf(client);
  const bool ipv6 = from.isIpv6();
  std::string header("\r\n\r\n\0\r\nQUIT\n", 12);
  header += static_cast<char>(local ? 0x20 : 0x21);
  header += static_cast<char>(ipv6 ? 0x21 : 0x11);
  const std::size_t size = ipv6 ? 16 : 4;
  const std::size_t length = 2 * size + 4;
  header += static_cast<char>(length >> 8);
  header += static_cast<char>(length & 0xFF);
  header.append(reinterpret_cast<const char*>(from.bytes.data()), size);
  header.append(size, '\0');  // the destination, unused
  header += static_cast<char>(port >> 8);
  header += static_cast<char>(port & 0xFF);
  header += "\x1f\x7c";  // 8060
  return header;
}

class ProxyServing : public testing_support::ServingFixture {
 protected:
  // Bytes sent from `from` (127.0.0.1 by default): what came back.
  std::string exchangeFrom(const std::string& bytes, std::uint32_t from = 0) {
    Client client(m_port, from);
    EXPECT_TRUE(client.connected());
    client.send(bytes);
    return client.readAll(5000);
  }
  std::vector<std::string> lines(const std::string& start) const {
    std::vector<std::string> found;
    for (const auto& event : m_tap.events()) {
      if (event.text.rfind(start, 0) == 0) found.push_back(event.text);
    }
    return found;
  }
};

// The client each header names is the one the engine is told of and the
// one a refusal names; headers of every form, and of either family.
TEST_F(ProxyServing, ATrustedHeaderNamesTheClientToTheEngineAndInTheRefusalLines) {
  config("ProxyProtocolFrom", "127.0.0.0/8");
  config("AuthenticationMethod", "Vorn");
  config("VornExecutable", testing_support::serviceHostCommandLine("engine-probe", "report"));
  start();
  const struct {
    std::string header;
    std::string address;
    std::string port;
  } cases[] = {
      {v1("TCP4", "192.0.2.7", 40001), "192.0.2.7", "40001"},
      {v1("TCP6", "2001:DB8::7", 40002), "2001:db8::7", "40002"},
      {v2("192.0.2.8", 40003), "192.0.2.8", "40003"},
      {v2("2001:db8::8", 40004), "2001:db8::8", "40004"},
      {v2("::ffff:192.0.2.9", 40005), "192.0.2.9", "40005"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    const std::string reply = exchangeFrom(c.header + record("ann", "pw"));
    ASSERT_EQ(reply.substr(0, 2), kAccepted);
    const auto report = testing_support::parseProbeReport(reply.substr(2));
    ASSERT_TRUE(report.complete) << reply;
    std::vector<std::string> client;
    for (const std::string& entry : report.env) {
      if (entry.rfind("VORND_CLIENT_", 0) == 0) client.push_back(entry);
    }
    EXPECT_EQ(client, (std::vector<std::string>{"VORND_CLIENT_ADDRESS=" + c.address,
                                                "VORND_CLIENT_PORT=" + c.port}));
  }
  // A clear client straight to the daemon keeps its environment as it was.
  config("ProxyProtocolFrom", "");
  m_run.stop();
  m_tap.clear();
  testing_support::DaemonRunner<testing_support::ServingDaemon> direct(m_name);
  direct.start();
  ASSERT_TRUE(testing_support::waitForState(m_tap, platform::kServiceRunning));
  m_port = direct.daemon().port();
  const std::string reply = exchangeFrom(record("ann", "pw"));
  ASSERT_EQ(reply.substr(0, 2), kAccepted);
  const auto report = testing_support::parseProbeReport(reply.substr(2));
  ASSERT_TRUE(report.complete) << reply;
  for (const std::string& entry : report.env) EXPECT_EQ(entry.rfind("VORND_CLIENT_", 0), std::string::npos);
}

TEST_F(ProxyServing, HeadersAreBelievedFromTrustedAddressesAloneAndABadOneIsClosed) {
  config("ProxyProtocolFrom", "127.0.0.2");
  config("AuthenticationMethod", "HTPassword");
  start();
  constexpr std::uint32_t kBalancer = 0x7F000002;
  const std::string refusal = "Login refused for user ann from 192.0.2.7 port 40001: ";
  EXPECT_EQ(exchangeFrom(v1("TCP4", "192.0.2.7", 40001) + record("ann", "pw"), kBalancer), kRefused);
  // From 127.0.0.1 the header is the record's first bytes.
  EXPECT_EQ(exchangeFrom(v1("TCP4", "192.0.2.7", 40001) + record("ann", "pw")), kRefused);
  // A LOCAL header is the balancer's own connection: its health check.
  EXPECT_NE(exchangeFrom(v2("192.0.2.7", 1, true) + "GET / HTTP/1.0\r\n\r\n", kBalancer)
                .find("Clients Rejected"),
            std::string::npos);
  // Malformed, or none at all: closed unanswered.
  for (const std::string& bad : {std::string("PROXY TCP4 192.0.2.7 127.0.0.1 1 99999\r\n"),
                                std::string("GET / HTTP/1.0\r\n\r\n"), record("ann", "pw")}) {
    EXPECT_EQ(exchangeFrom(bad, kBalancer), "");
  }
  const std::vector<std::string> refused = lines("Login refused for user ");
  ASSERT_EQ(refused.size(), 5u);
  EXPECT_EQ(refused[0].rfind(refusal, 0), 0u) << refused[0];
  EXPECT_NE(refused[1].find(" from 127.0.0.1 port "), std::string::npos) << refused[1];
  for (std::size_t i = 2; i < 5; ++i) {
    EXPECT_NE(refused[i].find(" from 127.0.0.2 port "), std::string::npos) << refused[i];
    EXPECT_NE(refused[i].find(": bad PROXY protocol header"), std::string::npos) << refused[i];
  }
}

// A header may come a byte at a time; then the record follows as usual.
TEST_F(ProxyServing, AHeaderSplitOverManyPacketsIsPutTogether) {
  config("ProxyProtocolFrom", "127.0.0.1");
  config("AuthenticationMethod", "HTPassword");
  start();
  for (const std::string& header : {v1("TCP4", "192.0.2.7", 40001), v2("192.0.2.7", 40001)}) {
    Client client(m_port);
    ASSERT_TRUE(client.connected());
    for (char byte : header) {
      client.send(std::string(1, byte));
      platform::sleepMs(5);
    }
    client.send(record("ann", "pw"));
    EXPECT_EQ(client.readAll(5000), kRefused);
  }
  const std::vector<std::string> refused = lines("Login refused for user ann from 192.0.2.7 ");
  EXPECT_EQ(refused.size(), 2u);
}

// The cap per source counts a proxied connection under its client once
// its header is read, and never closes the balancer's for being many.
TEST_F(ProxyServing, TheCapPerSourceCountsEachProxiedClientApart) {
  config("ProxyProtocolFrom", "127.0.0.1");
  config("AuthenticationMethod", "Vorn");
  config("MaxPendingPerSource", "1");
  start();
  Client silent(m_port);
  silent.send(v2("192.0.2.7", 40001));  // its record never comes
  platform::sleepMs(100);
  EXPECT_EQ(exchangeFrom(v2("192.0.2.7", 40002) + record("ann", "pw")), "");
  EXPECT_EQ(exchangeFrom(v2("192.0.2.8", 40003) + record("ann", "pw")), kAccepted);
  const std::vector<std::string> closed = lines("Connection from ");
  ASSERT_EQ(closed.size(), 1u);
  EXPECT_EQ(closed[0],
            "Connection from 192.0.2.7 port 40002 closed: 1 connections already pending from this "
            "address");
}

}  // namespace
