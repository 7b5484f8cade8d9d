// The Windows side of the error, event log, debugger output, process and
// window station facilities, against the system's own calls.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/debug_output.h"
#include "platform/error.h"
#include "platform/event_log.h"
#include "platform/process.h"
#include "platform/window_station.h"
#include "recording_tap.h"

namespace {

TEST(Win32ErrorText, SystemTextKeepsItsLineBreakAndUnknownCodesHaveNone) {
  for (platform::ErrorCode code : {platform::kErrorAccessDenied, platform::kErrorFileNotFound,
                                   platform::kErrorServiceDoesNotExist}) {
    std::optional<std::string> text = platform::systemErrorText(code);
    ASSERT_TRUE(text.has_value()) << code;
    ASSERT_GT(text->size(), 2u) << code;
    EXPECT_EQ(text->substr(text->size() - 2), "\r\n") << code;
    EXPECT_EQ(text->find('\0'), std::string::npos) << code;
  }
  EXPECT_NE(platform::systemErrorText(platform::kErrorAccessDenied),
            platform::systemErrorText(platform::kErrorFileNotFound));

  // A code from the application range: the system has no text for it.
  EXPECT_EQ(platform::systemErrorText(0x2000FFFF), std::nullopt);
}

TEST(Win32EventLog, EntriesReachTheTapAndTheSystemAcceptsThem) {
  testing_support::RecordingTap tap;
  platform::EventSource source = platform::registerEventSource("vornd-w32-test");
  ASSERT_NE(source, nullptr) << "error " << platform::lastError();
  EXPECT_TRUE(platform::reportEvent(source, platform::EventType::Information, "first\nsecond"))
      << "error " << platform::lastError();
  platform::deregisterEventSource(source);

  std::vector<testing_support::RecordedEvent> events = tap.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].source, "vornd-w32-test");
  EXPECT_EQ(events[0].type, platform::EventType::Information);
  EXPECT_EQ(events[0].text, "first\nsecond");

  platform::setLastError(0);
  EXPECT_FALSE(platform::reportEvent(nullptr, platform::EventType::Error, "lost"));
  EXPECT_EQ(platform::lastError(), platform::kErrorInvalidHandle);
  EXPECT_EQ(tap.events().size(), 1u);
}

TEST(Win32DebugOutput, TapSeesTheTextAndNoDebuggerIsAttached) {
  testing_support::RecordingTap tap;
  platform::debugOutput("vornd debug line");
  EXPECT_EQ(tap.debug(), std::vector<std::string>{"vornd debug line"});
  EXPECT_FALSE(platform::debuggerPresent());
}

TEST(Win32Process, ModuleFileNameAndCommandLineComeFromTheSystem) {
  std::string module = platform::moduleFileName();
  ASSERT_GT(module.size(), 15u);
  EXPECT_EQ(module.substr(1, 2), ":\\") << module;
  platform::lowerCaseInPlace(module);
  EXPECT_EQ(module.substr(module.size() - 15), "vornd_tests.exe") << module;

  // The arguments given are ignored: the system keeps the real line.
  char fake[] = "not-the-program";
  char* fakeArgv[] = {fake, nullptr};
  std::string line = platform::rawCommandLine(1, fakeArgv);
  EXPECT_EQ(line.find("not-the-program"), std::string::npos) << line;
  platform::lowerCaseInPlace(line);
  EXPECT_NE(line.find("vornd_tests"), std::string::npos) << line;
}

TEST(Win32Process, LowerCaseTouchesLettersOnly) {
  std::string text = "MiXeD Case 42_-\\PATH.EXE";
  platform::lowerCaseInPlace(text);
  EXPECT_EQ(text, "mixed case 42_-\\path.exe");

  // The length is the string's, not up to a zero byte.
  std::string withZero("AB\0CD", 5);
  platform::lowerCaseInPlace(withZero);
  EXPECT_EQ(withZero, std::string("ab\0cd", 5));
}

TEST(Win32WindowStation, StationAndDesktopCanBeCreatedAndEntered) {
  const std::string suffix = std::to_string(platform::currentProcessId());
  platform::WindowStationHandle station =
      platform::createWindowStation("vornd-ws-" + suffix, platform::kWinstaAllAccess);
  ASSERT_NE(station, nullptr) << "error " << platform::lastError();
  ASSERT_TRUE(platform::setProcessWindowStation(station)) << "error " << platform::lastError();
  EXPECT_NE(platform::createDesktop("vornd-desk-" + suffix, platform::kMaximumAllowed), nullptr)
      << "error " << platform::lastError();

  platform::setLastError(0);
  EXPECT_FALSE(platform::setProcessWindowStation(nullptr));
  EXPECT_EQ(platform::lastError(), platform::kErrorInvalidHandle);
}

}  // namespace
