// FailurePacing: how long after its record arrived a failed logon is
// answered, so that the answer neither comes sooner than the system's
// check asked nor tells a stranger whether the name was an account.
//
// A failure waits as long as its check asked. One whose check asked
// nothing, whether its name is an account or not, waits as long as the
// longest delay asked for a known account so far. None waits less than
// kShortest: a stack that asks nothing would otherwise answer a wrong
// password as fast as it hashes and an unknown name at its own speed. No
// wait is longer than kLongest. Safe to use from several threads.
#pragma once

#include <atomic>
#include <chrono>

#include "platform/logon.h"

class FailurePacing {
 public:
  static constexpr std::chrono::milliseconds kLongest{10000};
  static constexpr std::chrono::milliseconds kShortest{2000};

  std::chrono::milliseconds delayFor(const platform::LogonPacing& pacing);

 private:
  std::atomic<std::uint32_t> m_longestKnownMs{0};
};
