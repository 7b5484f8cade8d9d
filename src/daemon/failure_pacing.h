// FailurePacing: how long after its record arrived a failed logon is
// answered, so that the answer neither comes sooner than the system's
// check asked nor tells a stranger whether the name was an account.
//
// A known account waits as long as the check asked (nothing asked:
// nothing). An unknown one waits as long as its check asked; if it asked
// nothing, as long as the longest delay asked for a known account so far,
// and before any was asked, kUnknownFallback. No wait is longer than
// kLongest. Safe to use from several threads.
#pragma once

#include <atomic>
#include <chrono>

#include "platform/logon.h"

class FailurePacing {
 public:
  static constexpr std::chrono::milliseconds kLongest{10000};
  static constexpr std::chrono::milliseconds kUnknownFallback{2000};

  std::chrono::milliseconds delayFor(const platform::LogonPacing& pacing);

 private:
  std::atomic<std::uint32_t> m_longestKnownMs{0};
};
