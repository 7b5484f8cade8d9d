// Password guessing through the system's logon, against a daemon serving
// real connections: the failures of one address block it and no other,
// until the penalty is over; a failed logon is answered no sooner than the
// PAM stack asked, an unknown account no sooner than a known one, and
// neither holds up anyone else. Needs root (accounts and PAM files).
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/environment.h"
#include "posix/fail2ban_regex.h"
#include "posix/pam_service_file.h"
#include "posix/throwaway_account.h"
#include "serving_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::Client;
using testing_support::kAccepted;
using testing_support::kRefused;
using testing_support::record;

constexpr std::uint32_t kGuesser = 0x7F000002;  // 127.0.0.2
constexpr std::uint32_t kOther = 0x7F000003;    // 127.0.0.3
constexpr std::uint32_t kTenth = 0x7F00000A;    // 127.0.0.10
// Within the user field, and no account anywhere.
constexpr const char* kNoSuchUser = "vornd-nobody-4k";

struct Answer {
  std::string reply;
  double ms = 0;
  std::uint16_t port = 0;
};

class GuessingDefence : public testing_support::ServingFixture {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "creating accounts and PAM files needs root";
    ASSERT_TRUE(m_account.create());
    // Checked by the system, launched as the daemon.
    config("AuthenticationMethod", "logonuser");
  }

  Answer login(std::uint32_t source, const std::string& user, const std::string& password) {
    Answer answer;
    const Clock::time_point begun = Clock::now();
    Client client(m_port, source);
    answer.port = client.localPort();
    client.send(record(user, password));
    answer.reply = client.read(2, 15000);
    answer.ms = std::chrono::duration<double, std::milli>(Clock::now() - begun).count();
    return answer;
  }
  std::string wrongPassword() const { return "not-" + m_account.password(); }

  // The refusals' lines: not the start's warning about the method's
  // spelling, chosen here on purpose.
  std::vector<std::string> warnings() const {
    std::vector<std::string> texts;
    for (const auto& event : m_tap.events(platform::EventType::Warning)) {
      if (event.text.rfind("AuthenticationMethod ", 0) != 0) texts.push_back(event.text);
    }
    return texts;
  }
  static std::string eventLog() {
    return testing_support::readFile(
        platform::getEnvironmentVariable("VORND_ROOT").value_or("") + "/log/events.log");
  }
  // Nothing this daemon wrote anywhere holds a password it was sent.
  void expectNoPasswordWritten() {
    const std::string events = eventLog();
    for (const std::string& secret : {m_account.password(), wrongPassword()}) {
      EXPECT_EQ(log().find(secret), std::string::npos);
      EXPECT_EQ(events.find(secret), std::string::npos);
      for (const auto& event : m_tap.events()) {
        EXPECT_EQ(event.text.find(secret), std::string::npos) << event.text;
      }
    }
  }

  // The addresses fail2ban takes from this daemon's lines of the event log,
  // sorted.
  std::vector<std::string> fail2banAddresses() {
    std::string ours;
    for (const std::string& line : testing_support::linesOf(eventLog())) {
      if (line.find(" " + m_name + " ") != std::string::npos) ours += line + "\n";
    }
    EXPECT_NE(ours, "");
    const std::string file = m_dir.file("events-of-this-daemon.log");
    EXPECT_TRUE(testing_support::writeFile(file, ours));
    auto matched = testing_support::fail2banMatchedAddresses(
        file, testing_support::vorndFail2banFilterPath() + "[_daemon=" + m_name + "]");
    EXPECT_TRUE(matched.has_value());
    if (!matched) return {};
    std::sort(matched->begin(), matched->end());
    return *matched;
  }
  static bool fail2banMissing() { return testing_support::fail2banRegexProgram().empty(); }

  testing_support::ThrowAwayAccount m_account{"g"};
  testing_support::PamServiceFile m_stack;
};

// pam_unix without its own delay: failures wait only the daemon's floor.
constexpr const char* kPlainStack =
    "auth required pam_unix.so nodelay\n"
    "account required pam_unix.so\n";

TEST_F(GuessingDefence, TheLimitBlocksTheGuessingAddressAloneAndLiftsAfterThePenalty) {
  ASSERT_TRUE(m_stack.install(kPlainStack));
  config("LoginFailureLimit", "3");
  // Each refusal comes 2 s after its failure counted: the three guesses
  // take 6 s, and the last answer comes 2 s into its penalty.
  config("LoginFailurePenalty", "7");
  config("SockReceiveTimeout", "1");
  start();
  // Half a record from the other address, left to run out.
  Client partial(m_port, kOther);
  partial.send(std::string(100, 'p'));

  std::vector<std::uint16_t> guessPorts;
  for (int i = 0; i < 3; ++i) {
    const Answer guess = login(kGuesser, m_account.name(), wrongPassword());
    EXPECT_EQ(guess.reply, kRefused) << i;
    guessPorts.push_back(guess.port);
  }
  const Clock::time_point lastFailure = Clock::now();
  // Now even the right password is refused, without asking the system.
  const Answer blocked = login(kGuesser, m_account.name(), m_account.password());
  EXPECT_EQ(blocked.reply, kRefused);
  EXPECT_LT(blocked.ms, 1000);
  EXPECT_EQ(logOccurrences("LogonUser failed for user "), 3u);
  // Another address is not affected.
  EXPECT_EQ(login(kOther, m_account.name(), m_account.password()).reply, kAccepted);

  std::this_thread::sleep_until(lastFailure + std::chrono::milliseconds(5500));
  EXPECT_EQ(login(kGuesser, m_account.name(), m_account.password()).reply, kAccepted);
  EXPECT_EQ(counters(), "2/4");

  const std::string user = m_account.name();
  std::vector<std::string> expected;
  for (const std::uint16_t port : guessPorts) {
    expected.push_back("Login refused for user " + user + " from 127.0.0.2 port " +
                       std::to_string(port) + ": wrong user name or password");
  }
  expected.push_back("Login refused for user " + user + " from 127.0.0.2 port " +
                     std::to_string(blocked.port) + ": too many failures from this address");
  auto lines = warnings();
  const std::string incomplete = "No complete login record from 127.0.0.3 port " +
                                 std::to_string(partial.localPort()) + " within 1 seconds";
  EXPECT_EQ(std::count(lines.begin(), lines.end(), incomplete), 1) << incomplete;
  std::erase(lines, incomplete);
  EXPECT_EQ(lines, expected);
  expectNoPasswordWritten();

  // fail2ban, given this daemon's lines of the event log, takes every
  // refusal with its address and none of the logins that went through.
  if (fail2banMissing()) GTEST_SKIP() << "fail2ban-regex is not installed";
  EXPECT_EQ(fail2banAddresses(), (std::vector<std::string>{"127.0.0.2", "127.0.0.2",
                                                           "127.0.0.2", "127.0.0.2",
                                                           "127.0.0.3"}));
}

// Behind a balancer the limit is the proxied client's: one guesser among
// the balancer's clients is blocked, the next client is not.
TEST_F(GuessingDefence, BehindABalancerTheLimitIsEachProxiedClients) {
  ASSERT_TRUE(m_stack.install(kPlainStack));
  config("LoginFailureLimit", "2");
  config("ProxyProtocolFrom", "127.0.0.1");
  start();
  const auto through = [&](const std::string& client, const std::string& password) {
    Client balancer(m_port);
    balancer.send("PROXY TCP4 " + client + " 127.0.0.1 40001 8060\r\n" +
                  record(m_account.name(), password));
    return balancer.read(2, 15000);
  };
  EXPECT_EQ(through("192.0.2.7", wrongPassword()), kRefused);
  EXPECT_EQ(through("192.0.2.7", wrongPassword()), kRefused);
  EXPECT_EQ(through("192.0.2.7", m_account.password()), kRefused);
  EXPECT_EQ(through("192.0.2.8", m_account.password()), kAccepted);
  EXPECT_EQ(logOccurrences("LogonUser failed for user "), 2u);
  const std::string prefix = "Login refused for user " + m_account.name() + " from 192.0.2.7 port 40001: ";
  EXPECT_EQ(warnings(), (std::vector<std::string>{prefix + "wrong user name or password",
                                                  prefix + "wrong user name or password",
                                                  prefix + "too many failures from this address"}));
  // The login let in is logged with its method as configured, and no
  // password anywhere.
  std::vector<std::string> accepted;
  for (const auto& event : m_tap.events(platform::EventType::Information)) {
    if (event.text.rfind("Login accepted", 0) == 0) accepted.push_back(event.text);
  }
  EXPECT_EQ(accepted, (std::vector<std::string>{"Login accepted for user " + m_account.name() +
                                                " from 192.0.2.8 port 40001: logonuser"}));
  expectNoPasswordWritten();
}

TEST_F(GuessingDefence, ALimitOf0LetsEveryGuessReachTheSystem) {
  ASSERT_TRUE(m_stack.install(kPlainStack));
  config("LoginFailureLimit", "0");
  start();
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(login(kGuesser, m_account.name(), wrongPassword()).reply, kRefused) << i;
  }
  EXPECT_EQ(login(kGuesser, m_account.name(), m_account.password()).reply, kAccepted);
  EXPECT_EQ(logOccurrences("LogonUser failed for user "), 12u);
}

// With nothing asked by the stack, the speed of a refusal must still not
// tell a real account's wrong password from a name that is none.
TEST_F(GuessingDefence, WithNoDelayAskedAKnownAndAnUnknownNameWaitTheSameFloor) {
  ASSERT_TRUE(m_stack.install(kPlainStack));
  start();
  Answer known, unknown;
  std::thread guess([&] { known = login(kGuesser, m_account.name(), wrongPassword()); });
  unknown = login(kOther, kNoSuchUser, wrongPassword());
  guess.join();
  for (const Answer* answer : {&known, &unknown}) {
    EXPECT_EQ(answer->reply, kRefused);
    EXPECT_GE(answer->ms, 2000);
    EXPECT_LE(answer->ms, 2000 + 700);
  }
  EXPECT_NEAR(known.ms, unknown.ms, 300);
}

TEST_F(GuessingDefence, AFailureWaitsForTheStacksDelayAndAnUnknownAccountAsLongHoldingUpNoOne) {
  // A delay of 1.5 s asked for the account's failures alone; PAM spreads
  // it by up to half either way.
  ASSERT_TRUE(m_stack.install(
      "auth [success=ignore default=1] pam_succeed_if.so quiet user = " + m_account.name() +
      "\n"
      "auth optional pam_faildelay.so delay=1500000\n" +
      kPlainStack));
  start();

  Answer wrong;
  std::thread guess([&] { wrong = login(kGuesser, m_account.name(), wrongPassword()); });
  platform::sleepMs(200);
  const Answer good = login(kOther, m_account.name(), m_account.password());
  guess.join();
  EXPECT_EQ(good.reply, kAccepted);
  EXPECT_LT(good.ms, 700) << "the other address waits for nothing";
  EXPECT_EQ(wrong.reply, kRefused);
  EXPECT_GE(wrong.ms, 750);
  EXPECT_LE(wrong.ms, 2250 + 500);

  // The stack asks nothing for a name it does not know: the answer takes
  // as long as the known account's did.
  const Answer unknown = login(kGuesser, kNoSuchUser, wrongPassword());
  EXPECT_EQ(unknown.reply, kRefused);
  EXPECT_NEAR(unknown.ms, wrong.ms, 300);
  EXPECT_EQ(counters(), "1/2");
  expectNoPasswordWritten();
}

TEST_F(GuessingDefence, GuessesSentAtOnceAreCheckedNoMoreOftenThanTheLimit) {
  // Each check the stack runs leaves a line in `calls`, then takes a second.
  const std::string calls = m_dir.file("pam-calls");
  ASSERT_TRUE(m_stack.install("auth optional pam_exec.so quiet log=" + calls + " /bin/echo check\n"
                              "auth optional pam_exec.so quiet /bin/sleep 1\n" +
                              std::string(kPlainStack)));
  config("LoginFailureLimit", "3");
  start();

  std::vector<Answer> answers(8);
  std::vector<std::thread> guesses;
  for (Answer& answer : answers) {
    guesses.emplace_back([&] { answer = login(kGuesser, m_account.name(), wrongPassword()); });
  }
  for (std::thread& guess : guesses) guess.join();

  // pam_exec heads each call's output with a line of its own.
  const auto called = testing_support::linesOf(testing_support::readFile(calls));
  EXPECT_EQ(std::count(called.begin(), called.end(), "check"), 3);
  std::size_t atOnce = 0;
  for (const Answer& answer : answers) {
    EXPECT_EQ(answer.reply, kRefused);
    if (answer.ms < 900) ++atOnce;
  }
  EXPECT_EQ(atOnce, 5u) << "the guesses past the limit wait for no check";
  std::size_t wrong = 0, tooMany = 0;
  for (const std::string& line : warnings()) {
    wrong += line.ends_with(": wrong user name or password");
    tooMany += line.ends_with(": too many failures from this address");
  }
  EXPECT_EQ(wrong, 3u);
  EXPECT_EQ(tooMany, 5u);
  EXPECT_EQ(counters(), "0/8");
}

TEST_F(GuessingDefence, AFloodFromEightAddressesLeavesEveryLineOfAGuesserFromAnother) {
  ASSERT_TRUE(m_stack.install(kPlainStack));
  config("ServiceDisableFms", "Yes");
  start();

  // 127.0.0.2 to 127.0.0.9 send records the switches refuse, as fast as
  // they are answered, while the guesser tries ten passwords.
  std::atomic<bool> guessed{false};
  std::atomic<int> floodRefusals{0};
  std::vector<std::thread> flood;
  for (std::uint32_t host = 2; host <= 9; ++host) {
    flood.emplace_back([&, host] {
      const Clock::time_point until = Clock::now() + std::chrono::seconds(20);
      while (!guessed && Clock::now() < until) {
        Client client(m_port, 0x7F000000 + host);
        client.send(record("flood", "pw", "-fms_server"));
        if (client.read(2, 2000) == kRefused) ++floodRefusals;
      }
    });
  }
  platform::sleepMs(300);
  std::vector<std::uint16_t> guessPorts;
  for (int i = 0; i < 10; ++i) {
    const Answer guess = login(kTenth, m_account.name(), wrongPassword());
    EXPECT_EQ(guess.reply, kRefused) << i;
    guessPorts.push_back(guess.port);
  }
  guessed = true;
  for (std::thread& thread : flood) thread.join();
  // The last second's summary, with no client to wake the daemon.
  platform::sleepMs(1300);

  const auto lines = warnings();
  for (const std::uint16_t port : guessPorts) {
    const std::string line = "Login refused for user " + m_account.name() +
                             " from 127.0.0.10 port " + std::to_string(port) +
                             ": wrong user name or password";
    EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << line;
  }
  // The flood was more than the cap lets through, and the summaries say
  // whose lines were left out.
  static const std::regex summary(
      "([0-9]+) refusal lines left out in the last second from ([1-8]) addresses");
  int leftOut = 0;
  for (const std::string& line : lines) {
    std::smatch match;
    if (std::regex_match(line, match, summary)) leftOut += std::stoi(match[1].str());
  }
  EXPECT_GT(leftOut, 0) << floodRefusals << " flood refusals";

  if (fail2banMissing()) GTEST_SKIP() << "fail2ban-regex is not installed";
  EXPECT_EQ(fail2banAddresses(), std::vector<std::string>(10, "127.0.0.10"));
}

}  // namespace
