// The LogonUser launch on Windows, as far as Wine lets it be seen: Wine's
// LogonUserA accepts any name and password and hands out a token nothing
// can use, so CreateProcessAsUserA is reached with it and refuses. What is
// proven here is that path and the failure handling after it, not a
// Windows logon; the logon itself is tested only on Linux, with PAM.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "serving_fixture.h"

namespace {

using testing_support::kAccepted;
using testing_support::kRefused;
using testing_support::record;

class Win32LogonLaunch : public testing_support::ServingFixture {};

TEST_F(Win32LogonLaunch, TheTokenGoesToCreateProcessAsUserAndItsRefusalIsAnswered) {
  config("AuthenticationMethod", "LogonUser");
  config("VornExecutable", testing_support::serviceHostCommandLine("engine-probe", "quiet"));
  start();
  const std::string reply = exchange(record("anyone", "anything"));
  if (reply == kAccepted) GTEST_SKIP() << "this system ran the engine as the user";
  ASSERT_EQ(kAccepted + kRefused, reply) << "the logon was refused: " << log();
  const std::string text = log();
  EXPECT_TRUE(std::regex_search(
      text, std::regex("\nstartEngine CreateProcess failed: [^\n]+\nstartEngine - nack\n")))
      << text;
  const auto events = m_tap.events();
  EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const auto& event) {
    return event.text.find("CreateProcess failed") != std::string::npos;
  }));
  EXPECT_EQ("1/0", counters());
}

}  // namespace
