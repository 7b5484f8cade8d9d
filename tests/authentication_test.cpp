// The login check by method: which path each method text takes, the reply
// bytes, and what a refused system logon leaves in the log and event log.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "login_check_fixture.h"

namespace {

using testing_support::kAccepted;
using testing_support::kRefused;
using testing_support::LoginCheck;

// Within the 20 characters of the user field, and no account anywhere.
const char* const kNoSuchUser = "vornd-nobody-7q";
const char* const kPassword = "Pw-never-logged-93";

TEST_F(LoginCheck, HTPasswordRefusesEveryRecordWithoutALookup) {
  m_daemon.m_config.AuthenticationMethod = "HTPassword";
  // With every event logged, a check that went to the system would show.
  m_daemon.m_config.LogAllEvents = true;
  for (const auto& [user, password] : std::vector<std::pair<std::string, std::string>>{
           {"", ""}, {kNoSuchUser, kPassword}, {"root", ""}}) {
    const auto outcome = check(user, password);
    EXPECT_FALSE(outcome.accepted) << user;
    EXPECT_EQ(outcome.reply, kRefused) << user;
  }
  EXPECT_EQ(log(), "");
  // Only the warning each refusal gets, no failure of the system's.
  EXPECT_TRUE(m_tap.events(platform::EventType::Error).empty());
  const auto warnings = m_tap.events(platform::EventType::Warning);
  ASSERT_EQ(warnings.size(), 3u);
  const std::regex refusal("Login refused for user (|" + std::string(kNoSuchUser) +
                           "|root) from 127\\.0\\.0\\.1 port [0-9]+: every login is refused "
                           "by this method");
  for (const auto& warning : warnings) {
    EXPECT_TRUE(std::regex_match(warning.text, refusal)) << warning.text;
  }
  EXPECT_EQ(m_token, nullptr);
}

TEST_F(LoginCheck, VornAcceptsAnEmptyUserAndPasswordUnchecked) {
  m_daemon.m_config.AuthenticationMethod = "Vorn";
  m_daemon.m_config.LogAllEvents = true;
  auto outcome = check("", "");
  EXPECT_TRUE(outcome.accepted);
  EXPECT_EQ(outcome.reply, kAccepted);

  outcome = check(kNoSuchUser, kPassword);
  EXPECT_TRUE(outcome.accepted);
  EXPECT_EQ(outcome.reply, kAccepted);

  EXPECT_EQ(log(), "");
  // Only the two accepted logins' information entries.
  const auto events = m_tap.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].type, platform::EventType::Information);
  EXPECT_EQ(events[0].text.rfind("Login accepted for user  from ", 0), 0u) << events[0].text;
  EXPECT_EQ(events[1].text.rfind("Login accepted for user " + std::string(kNoSuchUser) + " from ", 0), 0u)
      << events[1].text;
  EXPECT_EQ(m_token, nullptr);
}

// Any text but the two exact names goes to the system's logon, which logs
// "LogonUser ok" or "LogonUser failed ..." with every event logged. Only
// "LogonUser" itself keeps a token for the launch.
TEST_F(LoginCheck, AnyOtherMethodTextGoesToTheSystemLogonAndKeepsNoToken) {
  m_daemon.m_config.LogAllEvents = true;
  for (const char* method : {"logonuser", "LOGONUSER", "htpassword", "vorn", "Vorn ",
                             " HTPassword", "HTPasswordX", ""}) {
    m_daemon.m_config.AuthenticationMethod = method;
    restartLog();
    const auto outcome = check(kNoSuchUser, kPassword);
    EXPECT_EQ(outcome.reply, outcome.accepted ? kAccepted : kRefused) << method;
    EXPECT_EQ(log().rfind("LogonUser ", 0), 0u) << "method \"" << method << "\": " << log();
    EXPECT_EQ(m_token, nullptr) << method;
  }
}

TEST_F(LoginCheck, UnknownUserIsRefusedWithTheLogLineAndAnEventLogError) {
  const auto outcome = check(kNoSuchUser, kPassword);
  if (outcome.accepted) GTEST_SKIP() << "this system's logon accepts any user name";

  EXPECT_EQ(outcome.reply, kRefused);
  // One line: the system text's own line break is not doubled.
  EXPECT_EQ(log(), std::string("LogonUser failed for user ") + kNoSuchUser +
                       " : The user name or password is incorrect.\n");
  const auto events = m_tap.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].type, platform::EventType::Error);
  EXPECT_EQ(events[0].source, m_daemon.GetEventSourceName());
  EXPECT_EQ(events[1].type, platform::EventType::Warning);
  EXPECT_TRUE(std::regex_match(events[1].text,
                               std::regex(std::string("Login refused for user ") + kNoSuchUser +
                                          " from 127\\.0\\.0\\.1 port [0-9]+: wrong user "
                                          "name or password")))
      << events[1].text;
  EXPECT_EQ(events[0].text.rfind("LogonUser failed failed: The user name or password is "
                                 "incorrect.",
                                 0),
            0u)
      << events[0].text;
  EXPECT_EQ(m_token, nullptr);

  for (const auto& event : events) EXPECT_EQ(event.text.find(kPassword), std::string::npos);
  for (const auto& line : m_tap.debug()) EXPECT_EQ(line.find(kPassword), std::string::npos);
  EXPECT_EQ(log().find(kPassword), std::string::npos);
}

// A failed logon's error entry is one of the lines a client causes: once
// the cap on them is reached, it is left out with the refusal's warning.
// The log file and the debugger output keep theirs.
TEST_F(LoginCheck, AFailedLogonsErrorEntryKeepsToTheCapOfTheClientsLines) {
  m_daemon.m_config.AuthenticationMethod = "HTPassword";
  const auto begun = std::chrono::steady_clock::now();
  for (int i = 0; i < 100; ++i) ASSERT_EQ(check("filler", kPassword).reply, kRefused);
  if (std::chrono::steady_clock::now() - begun > std::chrono::milliseconds(500)) {
    GTEST_SKIP() << "the refusals took half a second: the cap may start again before the check";
  }
  m_daemon.m_config.AuthenticationMethod = "LogonUser";
  m_tap.clear();
  const auto outcome = check(kNoSuchUser, kPassword);
  if (outcome.accepted) GTEST_SKIP() << "this system's logon accepts any user name";

  EXPECT_EQ(outcome.reply, kRefused);
  EXPECT_TRUE(m_tap.events().empty()) << m_tap.events().front().text;
  EXPECT_EQ(log().rfind("LogonUser failed for user ", 0), 0u);
  bool debugged = false;
  for (const auto& line : m_tap.debug()) {
    debugged |= line.rfind("LogonUser failed failed: ", 0) == 0;
  }
  EXPECT_TRUE(debugged);
}

TEST_F(LoginCheck, ControlCharactersOfTheUserNameCannotForgeALogLine) {
  // Line ends, a tab, the last control byte and DEL (which a terminal
  // reading the log takes as a rub-out) are masked; bytes from 0x80 up
  // stay.
  const std::string user = "ev\r\nLogonUser ok\t\x1f\x7f\xe9";
  ASSERT_LE(user.size(), 20u);
  const auto outcome = check(user, kPassword);
  if (outcome.accepted) GTEST_SKIP() << "this system's logon accepts any user name";

  EXPECT_EQ(outcome.reply, kRefused);
  EXPECT_EQ(log(), "LogonUser failed for user ev??LogonUser ok???\xe9 : The user name or "
                   "password is incorrect.\n");
}

}  // namespace
