// What is left of a wait's bound, read at chosen moments rather than the
// clock's, so the cases are exact.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "platform/deadline.h"

namespace {

using platform::Deadline;
using platform::kInfinite;
using platform::kLongestWaitMs;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

const Deadline::Clock::time_point t0 = Deadline::Clock::now();

TEST(Deadline, WhatIsLeftAtAGivenMoment) {
  const int longest = static_cast<int>(kLongestWaitMs);
  const struct {
    const char* what;
    Deadline deadline;
    Deadline::Clock::duration sinceT0;  // when it is read
    bool passed;
    std::uint32_t leftMs;
    int pollTimeout;
  } cases[] = {
      {"never", Deadline::never(), std::chrono::hours(24 * 365), false, kInfinite, -1},
      {"kInfinite is never", Deadline::after(kInfinite, t0), milliseconds(0), false, kInfinite, -1},
      {"nothing to wait", Deadline::after(0, t0), milliseconds(0), true, 0, 0},
      {"all of it left", Deadline::after(100, t0), milliseconds(0), false, 100, 100},
      {"a microsecond short of 1 ms", Deadline::after(100, t0), microseconds(99'001), false, 1, 1},
      {"5 ms and a nanosecond", Deadline::at(t0 + milliseconds(5) + nanoseconds(1)),
       milliseconds(0), false, 6, 6},
      {"exactly at it", Deadline::after(100, t0), milliseconds(100), true, 0, 0},
      {"long past it", Deadline::after(100, t0), std::chrono::seconds(5), true, 0, 0},
      {"just over the longest wait",
       Deadline::at(t0 + milliseconds(kLongestWaitMs) + nanoseconds(1)), milliseconds(0), false,
       kLongestWaitMs, longest},
      {"the longest bound short of kInfinite", Deadline::after(kInfinite - 1, t0), milliseconds(0),
       false, kLongestWaitMs, longest},
      {"a long bound, all but 1 ms waited", Deadline::after(kInfinite - 1, t0),
       milliseconds(kInfinite - 2), false, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto now = t0 + c.sinceT0;
    EXPECT_EQ(c.deadline.bounded(), c.leftMs != kInfinite);
    EXPECT_EQ(c.deadline.passed(now), c.passed);
    EXPECT_EQ(c.deadline.leftMs(now), c.leftMs);
    EXPECT_EQ(c.deadline.pollTimeout(now), c.pollTimeout);
  }
}

TEST(Deadline, TheEarlierOfTwoWinsAndNeverNeverDoes) {
  // Milliseconds from t0; kNever for no bound.
  constexpr int kNever = 1 << 30;
  auto deadline = [](int ms) {
    return ms == kNever ? Deadline::never() : Deadline::at(t0 + milliseconds(ms));
  };
  const struct {
    int a, b, expected;
  } cases[] = {
      {kNever, kNever, kNever}, {kNever, 5, 5}, {5, kNever, 5}, {3, 5, 3}, {5, 3, 3}, {-1, 3, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.a << " and " << c.b);
    const Deadline found = Deadline::earliest(deadline(c.a), deadline(c.b));
    ASSERT_EQ(found.bounded(), c.expected != kNever);
    if (found.bounded()) {
      EXPECT_EQ(found.when(), t0 + milliseconds(c.expected));
    }
  }
}

}  // namespace
