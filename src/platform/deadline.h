// The end of a wait, as a point on the steady clock, and what is left of
// it in the units the system's waits take.
//
// A wait that is woken for something other than its end (a signal, an
// event it does not answer, a slice of a longer wait) starts again with
// what is left rather than with the whole time, so a caller's bound holds
// however often it is woken.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/sync.h"

namespace platform {

// The longest single wait: far below kInfinite (which a 32-bit wait reads
// as "no bound") and below INT_MAX (poll's limit). A longer bound is waited
// in turns; each turn ends with a look at the clock.
inline constexpr std::uint32_t kLongestWaitMs = 24u * 60 * 60 * 1000;

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  // No bound.
  Deadline() = default;

  static Deadline never() { return Deadline(); }

  // kInfinite is no bound, as the waits read it.
  static Deadline after(std::uint32_t timeoutMs, Clock::time_point now = Clock::now()) {
    if (timeoutMs == kInfinite) return never();
    return at(now + std::chrono::milliseconds(timeoutMs));
  }

  static Deadline at(Clock::time_point when) {
    Deadline deadline;
    deadline.m_bounded = true;
    deadline.m_when = when;
    return deadline;
  }

  bool bounded() const { return m_bounded; }

  bool passed(Clock::time_point now = Clock::now()) const { return m_bounded && now >= m_when; }

  // Only meaningful when bounded.
  Clock::time_point when() const { return m_when; }

  // Milliseconds left, rounded up: rounded down, a wait would wake just
  // short of the deadline, and its caller would either end early or spin
  // on waits of 0 ms until the clock caught up. 0 once passed; at most
  // kLongestWaitMs; kInfinite when unbounded.
  std::uint32_t leftMs(Clock::time_point now = Clock::now()) const {
    if (!m_bounded) return kInfinite;
    if (now >= m_when) return 0;
    const std::chrono::milliseconds left =
        std::chrono::ceil<std::chrono::milliseconds>(m_when - now);
    return left.count() > kLongestWaitMs ? kLongestWaitMs
                                         : static_cast<std::uint32_t>(left.count());
  }

  // leftMs for poll(), which takes -1 for no bound.
  int pollTimeout(Clock::time_point now = Clock::now()) const {
    return m_bounded ? static_cast<int>(leftMs(now)) : -1;
  }

  // Brings this deadline forward to `when` if that is earlier; an
  // unbounded one takes it.
  void atLatest(Clock::time_point when) {
    if (!m_bounded || when < m_when) *this = at(when);
  }

  // The earlier of the two; an unbounded one never wins.
  static Deadline earliest(Deadline a, Deadline b) {
    if (b.m_bounded) a.atLatest(b.m_when);
    return a;
  }

 private:
  bool m_bounded = false;
  Clock::time_point m_when{};
};

}  // namespace platform
