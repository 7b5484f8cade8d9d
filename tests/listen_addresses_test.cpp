// The addresses an instance listens on: both families by default, exactly
// those SockListenAddress names otherwise, and IPv6 clients named in
// their canonical text wherever a client's address is written.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "serving_fixture.h"
#include "platform/address_text.h"

namespace {

using testing_support::Client;
using testing_support::addressOf;
using testing_support::kAccepted;
using testing_support::kRefused;
using testing_support::record;

// Whether this host has IPv6 on its loopback interface at all.
bool hasIpv6Loopback() {
  platform::startSockets();
  const platform::SocketHandle probe = platform::createTcpSocket(platform::AddressFamily::IPv6);
  const bool bound = probe != platform::kInvalidSocket &&
                     platform::bindSocket(probe, platform::Endpoint{addressOf("::1"), 0});
  if (probe != platform::kInvalidSocket) platform::closeSocket(probe);
  platform::cleanupSockets();
  return bound;
}

class ListenAddresses : public testing_support::ServingFixture {
 protected:
  using Runner = testing_support::DaemonRunner<testing_support::ServingDaemon>;

  void SetUp() override {
    if (!hasIpv6Loopback()) GTEST_SKIP() << "no IPv6 on the loopback interface";
  }
  // A daemon of its own for each set-up: started, running, its port noted.
  std::unique_ptr<Runner> serve() {
    m_tap.clear();
    auto run = std::make_unique<Runner>(m_name);
    run->start();
    EXPECT_TRUE(testing_support::waitForState(m_tap, platform::kServiceRunning));
    m_port = run->daemon().port();
    return run;
  }
  // A login from `from` (any local address when null) to `to`: the reply,
  // "<refused>" when nothing listens there.
  std::string login(const char* to, const char* from = nullptr, std::uint16_t* clientPort = nullptr) {
    const platform::NetAddress source = from != nullptr ? addressOf(from) : platform::NetAddress{};
    Client client(m_port, addressOf(to), from != nullptr ? &source : nullptr);
    if (!client.connected()) return "<refused>";
    if (clientPort != nullptr) *clientPort = client.localPort();
    client.send(record("ann", "pw"));
    return client.readAll(5000);
  }
  std::vector<std::string> refusalLines() const {
    std::vector<std::string> lines;
    for (const auto& event : m_tap.events()) {
      if (event.text.rfind("Login refused", 0) == 0) lines.push_back(event.text);
    }
    return lines;
  }
};

TEST_F(ListenAddresses, TheDefaultListensOnBothFamiliesAndNamesAnIpv6ClientInItsLines) {
  config("AuthenticationMethod", "Vorn");
  {
    const auto run = serve();
    std::uint16_t v4Port = 0, v6Port = 0;
    EXPECT_EQ(login("127.0.0.1", nullptr, &v4Port), kAccepted);
    EXPECT_EQ(login("::1", nullptr, &v6Port), kAccepted);
    EXPECT_EQ(counters(), "2/0");
    // Each accepted login is an information entry naming its client.
    std::vector<std::string> accepted;
    for (const auto& event : m_tap.events(platform::EventType::Information)) {
      if (event.text.rfind("Login accepted", 0) == 0) accepted.push_back(event.text);
    }
    EXPECT_EQ(accepted, (std::vector<std::string>{
                            "Login accepted for user ann from 127.0.0.1 port " +
                                std::to_string(v4Port) + ": Vorn",
                            "Login accepted for user ann from ::1 port " + std::to_string(v6Port) +
                                ": Vorn"}));
  }
  config("AuthenticationMethod", "HTPassword");
  const auto run = serve();
  std::uint16_t clientPort = 0;
  EXPECT_EQ(login("::1", nullptr, &clientPort), kRefused);
  const std::vector<std::string> lines = refusalLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Login refused for user ann from ::1 port " + std::to_string(clientPort) +
                          ": every login is refused by this method");
}

TEST_F(ListenAddresses, AListBindsExactlyWhatItNames) {
  config("AuthenticationMethod", "Vorn");
  const struct {
    const char* list;
    std::vector<const char*> served;
    std::vector<const char*> refused;
  } cases[] = {
      {"127.0.0.1", {"127.0.0.1"}, {"::1", "127.0.0.2"}},
      {"::1", {"::1"}, {"127.0.0.1"}},
      {" ::1, 127.0.0.2 ", {"::1", "127.0.0.2"}, {"127.0.0.1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.list);
    config("SockListenAddress", c.list);
    const auto run = serve();
    for (const char* to : c.served) EXPECT_EQ(login(to), kAccepted) << to;
    for (const char* to : c.refused) EXPECT_EQ(login(to), "<refused>") << to;
  }
}

TEST_F(ListenAddresses, AListThatDoesNotParseIsReportedAndNothingListens) {
  for (const char* list : {"127.0.0.1 localhost", "10.0.0.0/8", ",", "::1::"}) {
    SCOPED_TRACE(list);
    config("SockListenAddress", list);
    m_tap.clear();
    testing_support::DaemonRunner<testing_support::ServingDaemon> run(m_name);
    run.start();
    ASSERT_TRUE(testing_support::waitForNotListening(m_tap));
    EXPECT_EQ(0, run.daemon().port());
    bool reported = false;
    for (const auto& event : m_tap.events()) {
      reported |= event.text.rfind(std::string("SockListenAddress (") + list + "): ", 0) == 0;
    }
    EXPECT_TRUE(reported);
    run.stop();
  }
}

}  // namespace
