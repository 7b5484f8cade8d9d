// Events, waits with a time limit, a lock and an atomic flag.
//
// Events behave as Windows events: an auto-reset event releases one waiter
// and resets itself; a manual-reset event stays signalled until reset.
// Setting a signalled event changes nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace platform {

inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
inline constexpr std::uint32_t kWaitTimeout = 258;         // WAIT_TIMEOUT
inline constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;  // WAIT_FAILED
inline constexpr std::size_t kMaximumWaitObjects = 64;

struct EventImpl;
using EventHandle = EventImpl*;

// Null on failure, with the last error set.
EventHandle createEvent(bool manualReset, bool initiallySignalled);
bool setEvent(EventHandle event);
bool resetEvent(EventHandle event);
void closeEvent(EventHandle event);

// Waits until one of the events is signalled (consuming it when it is an
// auto-reset event) or the time runs out. Returns the lowest index among
// the signalled events, kWaitTimeout, or kWaitFailed with the last error
// set (a null handle, no handles, more than kMaximumWaitObjects).
std::uint32_t waitForEvents(const EventHandle* events, std::size_t count,
                            std::uint32_t timeoutMs);
std::uint32_t waitForEvent(EventHandle event, std::uint32_t timeoutMs);

void sleepMs(std::uint32_t ms);

// A critical section: recursive on the owning thread, as on Windows.
class Lock {
 public:
  Lock();
  ~Lock();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  void enter();
  void leave();

 private:
  struct Impl;
  Impl* m_impl;
};

class LockGuard {
 public:
  explicit LockGuard(Lock& lock) : m_lock(lock) { m_lock.enter(); }
  ~LockGuard() { m_lock.leave(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Lock& m_lock;
};

// A truth value written with an atomic exchange (InterlockedExchange) and
// read without tearing from another thread.
class AtomicFlag {
 public:
  explicit AtomicFlag(bool initial = false) : m_value(initial ? 1 : 0) {}
  // Stores the new value and returns the previous one.
  bool exchange(bool value) { return m_value.exchange(value ? 1 : 0) != 0; }
  bool get() const { return m_value.load() != 0; }
  operator bool() const { return get(); }

 private:
  std::atomic<long> m_value;
};

}  // namespace platform
