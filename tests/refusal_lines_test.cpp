// The warning line each refused client leaves in the event log, as a
// daemon serving real connections writes it: the client's own address and
// port in a fixed text, and no more than a hundred such lines a second,
// ten of them from one address.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "serving_fixture.h"

namespace {

using testing_support::Client;
using testing_support::kRefused;
using testing_support::record;

constexpr std::uint32_t kHostB = 0x7F000002;  // 127.0.0.2
constexpr std::uint32_t kHostC = 0x7F000003;  // 127.0.0.3

class RefusalLines : public testing_support::ServingFixture {
 protected:
  // The warning lines once there are at least `count` of them (or after
  // ten seconds, whatever there is).
  std::vector<std::string> warnings(std::size_t count) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::vector<std::string> texts;
    do {
      texts.clear();
      for (const auto& event : m_tap.events(platform::EventType::Warning)) {
        texts.push_back(event.text);
      }
      if (texts.size() >= count) break;
      platform::sleepMs(20);
    } while (std::chrono::steady_clock::now() < until);
    return texts;
  }
  static bool has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
};

TEST_F(RefusalLines, EachRefusalOfTheLoopAndTheLaunchNamesTheClientsAddressAndPort) {
  config("AuthenticationMethod", "Vorn");
  config("ServiceDisableODBC", "Yes");
  config("SockReceiveTimeout", "1");
  config("MaxPendingPerSource", "1");
  config("VornExecutable", m_dir.file("no-such-engine.exe"));
  start();

  Client switches(m_port, kHostB);
  switches.send(record("odbc\x01user", "Secret-0dbc", "-odbc_server"));
  EXPECT_EQ(switches.read(2), kRefused);

  // Half a record from B, and one connection too many from C while a
  // silent one is pending.
  Client partial(m_port, kHostB);
  partial.send(std::string(10, 'x'));
  Client silent(m_port, kHostC);
  ASSERT_TRUE(silent.connected());
  platform::sleepMs(100);
  Client surplus(m_port, kHostC);
  EXPECT_EQ(surplus.readAll(), "");

  // Once the silent one's time is out, C may connect again.
  EXPECT_EQ(silent.readAll(), "");
  Client launch(m_port, kHostC);
  launch.send(record("eve", "Secret-launch"));
  EXPECT_EQ(launch.read(4), std::string("\x00\x01\x00\x00", 4));

  // The start's warning of the missing engine, then the refusals.
  const auto lines = warnings(6);
  EXPECT_EQ(lines.front(), "VornExecutable \"" + m_dir.file("no-such-engine.exe") + "\" does not exist");
  const auto port = [](const Client& client) { return std::to_string(client.localPort()); };
  EXPECT_TRUE(has(lines, "Login refused for user odbc?user from 127.0.0.2 port " +
                             port(switches) + ": refused by the service switches"));
  EXPECT_TRUE(has(lines, "Login refused for user eve from 127.0.0.3 port " + port(launch) +
                             ": the engine could not be started"));
  EXPECT_TRUE(has(lines, "Connection from 127.0.0.3 port " + port(surplus) +
                             " closed: 1 connections already pending from this address"));
  EXPECT_TRUE(has(lines, "No complete login record from 127.0.0.2 port " + port(partial) +
                             " within 1 seconds"));
  // And the silent client's own time runs out.
  EXPECT_TRUE(has(lines, "No complete login record from 127.0.0.3 port " + port(silent) +
                             " within 1 seconds"));
  EXPECT_EQ(lines.size(), 6u);
  for (const auto& event : m_tap.events()) {
    EXPECT_EQ(event.text.find("Secret"), std::string::npos) << event.text;
  }
  EXPECT_EQ(log().find("Secret"), std::string::npos);
  // The log file's lines keep their texts.
  EXPECT_EQ(logOccurrences("negotiateLogin - no complete login record within 1 seconds - "
                           "connection closed"), 2u);
}

TEST_F(RefusalLines, AHundredLinesASecondAtMostTenOfEachAddressAndThenHowManyWereLeftOut) {
  config("AuthenticationMethod", "HTPassword");
  start();
  // Ten clients from each of fifteen addresses, 127.0.0.2 to 127.0.0.16.
  constexpr int kAddresses = 15;
  constexpr int kClients = 10 * kAddresses;
  const auto begun = std::chrono::steady_clock::now();
  for (int i = 0; i < kClients; ++i) {
    Client client(m_port, kHostB + static_cast<std::uint32_t>(i % kAddresses));
    client.send(record("guess", "pw"));
    ASSERT_EQ(client.read(2), kRefused) << i;
  }
  const bool withinASecond = std::chrono::steady_clock::now() - begun < std::chrono::seconds(1);
  // The line on those left out comes once their second is over, with no
  // client to wake the daemon.
  platform::sleepMs(1300);

  static const std::regex refusal(
      "Login refused for user guess from 127\\.0\\.0\\.[0-9]+ port [0-9]+: every login is "
      "refused by this method");
  static const std::regex summary(
      "([0-9]+) refusal lines left out in the last second from ([0-9]+) addresses");
  int written = 0, leftOut = 0, summaries = 0;
  for (const std::string& line : warnings(0)) {
    std::smatch match;
    if (std::regex_match(line, refusal)) {
      ++written;
    } else if (std::regex_match(line, match, summary)) {
      leftOut += std::stoi(match[1].str());
      ++summaries;
    } else {
      ADD_FAILURE() << line;
    }
  }
  EXPECT_EQ(written + leftOut, kClients);
  // A slow machine may spread the refusals so thin that no cap is reached;
  // whatever was left out is always told.
  EXPECT_EQ(summaries > 0, leftOut > 0);
  if (withinASecond) {
    EXPECT_GE(summaries, 1);
    EXPECT_EQ(written, 100);
    EXPECT_EQ(leftOut, 50);
  }
  EXPECT_EQ(counters(), "0/150");
}

}  // namespace
