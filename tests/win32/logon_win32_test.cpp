// logonUser with and without a bound. Wine's LogonUserA accepts any name and
// password, so what is checked here is the bounded path around it: the
// same answer as the unbounded call, a time-out that returns at once, and,
// where tokens are real handles (Wine's are not), abandoned logons whose
// late tokens are closed by the thread left with them rather than leaked.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/logon.h"
#include "platform/sync.h"

namespace {

struct Answer {
  bool ok = false;
  platform::ErrorCode error = 0;
};

Answer logOn(const std::string& user, const std::string& password, std::uint32_t timeoutMs) {
  platform::LogonToken token = nullptr;
  platform::setLastError(0);
  Answer answer;
  answer.ok = platform::logonUser(user, password, token, timeoutMs);
  answer.error = answer.ok ? 0 : platform::lastError();
  EXPECT_EQ(answer.ok, token != nullptr);
  platform::closeLogonToken(token);
  return answer;
}

DWORD handleCount() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
}

TEST(Win32Logon, ABoundedLogonAnswersAsAnUnboundedOneDoes) {
  for (const auto& [user, password] : {std::pair<std::string, std::string>{"anyone", "anything"},
                                       {"", ""},
                                       {"nobody-here\\x", "p"}}) {
    const Answer unbounded = logOn(user, password, platform::kInfinite);
    const Answer bounded = logOn(user, password, 10000);
    EXPECT_EQ(bounded.ok, unbounded.ok) << user;
    EXPECT_EQ(bounded.error, unbounded.error) << user;
  }
}

TEST(Win32Logon, LogonsOnSeveralThreadsAtOnceAllAnswer) {
  const Answer expected = logOn("anyone", "anything", platform::kInfinite);
  std::vector<Answer> answers(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < answers.size(); ++i) {
    threads.emplace_back([&answers, i] { answers[i] = logOn("anyone", "anything", 10000); });
  }
  for (std::thread& thread : threads) thread.join();
  for (const Answer& answer : answers) {
    EXPECT_EQ(answer.ok, expected.ok);
    EXPECT_EQ(answer.error, expected.error);
  }
}

// A bound of no time at all: each call either has the answer already or
// gives up with 1460 and no token. The threads left behind finish on their
// own and close what they got: the process holds no more handles after.
TEST(Win32Logon, AbandonedLogonsTimeOutAndLeakNoHandle) {
  const Answer expected = logOn("anyone", "anything", platform::kInfinite);
  logOn("anyone", "anything", 0);  // whatever a first bounded call sets up once
  platform::sleepMs(200);
  const DWORD before = handleCount();
  int timedOut = 0;
  for (int i = 0; i < 50; ++i) {
    const Answer answer = logOn("anyone", "anything", 0);
    if (!answer.ok && answer.error == 1460) {
      ++timedOut;
    } else {
      EXPECT_EQ(answer.ok, expected.ok);
      EXPECT_EQ(answer.error, expected.error);
    }
  }
  EXPECT_GT(timedOut, 0) << "no call of 50 timed out";
  // Only a token that is a real handle shows in the count (Wine's is not).
  platform::LogonToken probe = nullptr;
  ASSERT_TRUE(platform::logonUser("anyone", "anything", probe));
  DWORD flags = 0;
  const bool realHandle = GetHandleInformation(reinterpret_cast<HANDLE>(probe), &flags) != FALSE;
  platform::closeLogonToken(probe);
  if (!realHandle) {
    std::printf("[   NOTE   ] this system's tokens are no handles: leaks go unseen\n");
    return;
  }
  DWORD after = handleCount();
  for (int waited = 0; waited < 3000 && after > before; waited += 50) {
    platform::sleepMs(50);
    after = handleCount();
  }
  EXPECT_LE(after, before) << "handles before: " << before;
}

}  // namespace
