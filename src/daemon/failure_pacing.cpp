#include "daemon/failure_pacing.h"

#include <algorithm>

std::chrono::milliseconds FailurePacing::delayFor(const platform::LogonPacing& pacing) {
  const std::uint32_t longest = static_cast<std::uint32_t>(kLongest.count());
  const std::uint32_t shortest = static_cast<std::uint32_t>(kShortest.count());
  std::uint32_t delay = 0;
  if (pacing.delayAsked) {
    delay = std::min(pacing.delayMs, longest);
    if (!pacing.unknownAccount) {
      std::uint32_t known = m_longestKnownMs.load();
      while (delay > known && !m_longestKnownMs.compare_exchange_weak(known, delay)) {
      }
    }
  } else {
    delay = m_longestKnownMs.load();
  }
  return std::chrono::milliseconds(std::max(delay, shortest));
}
