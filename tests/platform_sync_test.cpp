// Events, waits, threads and the lock, through the platform API only, so
// the same cases hold on both implementations.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "platform/error.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace {

using platform::EventHandle;
using Clock = std::chrono::steady_clock;

class EventOwner {
 public:
  EventOwner(bool manualReset, bool initiallySignalled)
      : m_event(platform::createEvent(manualReset, initiallySignalled)) {}
  ~EventOwner() { platform::closeEvent(m_event); }
  EventOwner(const EventOwner&) = delete;
  EventOwner& operator=(const EventOwner&) = delete;
  EventHandle get() const { return m_event; }

 private:
  EventHandle m_event;
};

long long elapsedMs(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

TEST(PlatformEvent, AutoResetReleasesOneWaitAndResets) {
  EventOwner event(false, false);
  ASSERT_NE(event.get(), nullptr);
  EXPECT_EQ(platform::waitForEvent(event.get(), 0), platform::kWaitTimeout);

  ASSERT_TRUE(platform::setEvent(event.get()));
  // A second set of a signalled event adds nothing.
  ASSERT_TRUE(platform::setEvent(event.get()));
  EXPECT_EQ(platform::waitForEvent(event.get(), 0), 0u);
  EXPECT_EQ(platform::waitForEvent(event.get(), 0), platform::kWaitTimeout);
}

TEST(PlatformEvent, InitiallySignalledAutoResetIsConsumedOnce) {
  EventOwner event(false, true);
  EXPECT_EQ(platform::waitForEvent(event.get(), 0), 0u);
  EXPECT_EQ(platform::waitForEvent(event.get(), 0), platform::kWaitTimeout);
}

TEST(PlatformEvent, ManualResetStaysSetUntilReset) {
  EventOwner event(true, false);
  EXPECT_EQ(platform::waitForEvent(event.get(), 0), platform::kWaitTimeout);
  ASSERT_TRUE(platform::setEvent(event.get()));
  EXPECT_EQ(platform::waitForEvent(event.get(), 0), 0u);
  EXPECT_EQ(platform::waitForEvent(event.get(), 10), 0u);
  ASSERT_TRUE(platform::resetEvent(event.get()));
  EXPECT_EQ(platform::waitForEvent(event.get(), 0), platform::kWaitTimeout);
  // Resetting a reset event is harmless.
  EXPECT_TRUE(platform::resetEvent(event.get()));

  EventOwner initially(true, true);
  EXPECT_EQ(platform::waitForEvent(initially.get(), 0), 0u);
  EXPECT_EQ(platform::waitForEvent(initially.get(), 0), 0u);
}

TEST(PlatformEvent, ResetClearsAnAutoResetEvent) {
  EventOwner event(false, false);
  ASSERT_TRUE(platform::setEvent(event.get()));
  ASSERT_TRUE(platform::resetEvent(event.get()));
  EXPECT_EQ(platform::waitForEvent(event.get(), 0), platform::kWaitTimeout);
}

TEST(PlatformEvent, WaitAnyGivesLowestSignalledIndexAndConsumesOnlyIt) {
  EventOwner a(false, false), b(false, false), c(false, false);
  const EventHandle events[] = {a.get(), b.get(), c.get()};
  ASSERT_TRUE(platform::setEvent(c.get()));
  ASSERT_TRUE(platform::setEvent(b.get()));
  EXPECT_EQ(platform::waitForEvents(events, 3, 0), 1u);
  EXPECT_EQ(platform::waitForEvents(events, 3, 0), 2u);
  EXPECT_EQ(platform::waitForEvents(events, 3, 0), platform::kWaitTimeout);
}

TEST(PlatformEvent, ManualResetAtLowerIndexWinsEveryTime) {
  EventOwner manual(true, true), automatic(false, true);
  const EventHandle events[] = {manual.get(), automatic.get()};
  EXPECT_EQ(platform::waitForEvents(events, 2, 0), 0u);
  EXPECT_EQ(platform::waitForEvents(events, 2, 0), 0u);
  // The auto-reset event behind it was not consumed.
  EXPECT_EQ(platform::waitForEvent(automatic.get(), 0), 0u);
}

TEST(PlatformEvent, FullSetOfWaitObjects) {
  std::vector<EventHandle> events;
  for (std::size_t i = 0; i < platform::kMaximumWaitObjects; ++i) {
    events.push_back(platform::createEvent(false, false));
    ASSERT_NE(events.back(), nullptr);
  }
  ASSERT_TRUE(platform::setEvent(events.back()));
  EXPECT_EQ(platform::waitForEvents(events.data(), events.size(), 0),
            platform::kMaximumWaitObjects - 1);
  for (EventHandle event : events) platform::closeEvent(event);
}

TEST(PlatformEvent, TimeoutReturnsAfterRoughlyTheTimeLimit) {
  EventOwner event(false, false);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(platform::waitForEvent(event.get(), 150), platform::kWaitTimeout);
  const long long elapsed = elapsedMs(start);
  EXPECT_GE(elapsed, 140);
  EXPECT_LT(elapsed, 5000);
}

unsigned setAfterDelay(void* argument) {
  platform::sleepMs(100);
  platform::setEvent(static_cast<EventHandle>(argument));
  return 0;
}

TEST(PlatformEvent, SetFromAnotherThreadWakesWaiter) {
  EventOwner idle(false, false), event(false, false);
  const EventHandle events[] = {idle.get(), event.get()};
  platform::ThreadHandle thread = platform::beginThread(setAfterDelay, event.get());
  ASSERT_NE(thread, nullptr);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(platform::waitForEvents(events, 2, 10000), 1u);
  EXPECT_LT(elapsedMs(start), 5000);
  EXPECT_EQ(platform::waitForThread(thread, 10000), 0u);
  platform::closeThread(thread);
}

struct Contention {
  EventHandle event = nullptr;
  std::atomic<int> released{0};
};

unsigned waitOnce(void* argument) {
  auto* contention = static_cast<Contention*>(argument);
  if (platform::waitForEvent(contention->event, 1000) == 0) ++contention->released;
  return 0;
}

TEST(PlatformEvent, AutoResetSetReleasesExactlyOneOfManyWaiters) {
  EventOwner event(false, false);
  Contention contention;
  contention.event = event.get();
  std::vector<platform::ThreadHandle> threads;
  for (int i = 0; i < 4; ++i) {
    threads.push_back(platform::beginThread(waitOnce, &contention));
    ASSERT_NE(threads.back(), nullptr);
  }
  platform::sleepMs(100);
  ASSERT_TRUE(platform::setEvent(event.get()));
  for (platform::ThreadHandle thread : threads) {
    EXPECT_EQ(platform::waitForThread(thread, 10000), 0u);
    platform::closeThread(thread);
  }
  EXPECT_EQ(contention.released.load(), 1);
}

TEST(PlatformEvent, BadWaitsFail) {
  EventOwner event(false, true);
  const EventHandle events[] = {event.get()};

  platform::setLastError(0);
  EXPECT_EQ(platform::waitForEvents(events, 0, 0), platform::kWaitFailed);
  EXPECT_EQ(platform::lastError(), platform::kErrorInvalidParameter);

  std::vector<EventHandle> tooMany(platform::kMaximumWaitObjects + 1, event.get());
  platform::setLastError(0);
  EXPECT_EQ(platform::waitForEvents(tooMany.data(), tooMany.size(), 0), platform::kWaitFailed);
  EXPECT_EQ(platform::lastError(), platform::kErrorInvalidParameter);

  // The code for a null handle differs between systems; it must fail.
  const EventHandle withNull[] = {event.get(), nullptr};
  platform::setLastError(0);
  EXPECT_EQ(platform::waitForEvents(withNull, 2, 0), platform::kWaitFailed);
  EXPECT_NE(platform::lastError(), 0u);

  // None of the failed waits consumed the event.
  EXPECT_EQ(platform::waitForEvent(event.get(), 0), 0u);
}

unsigned waitForRelease(void* argument) {
  platform::waitForEvent(static_cast<EventHandle>(argument), platform::kInfinite);
  return 0;
}

TEST(PlatformThread, WaitTimesOutWhileRunningAndSeesTheEnd) {
  EventOwner release(true, false);
  platform::ThreadHandle thread = platform::beginThread(waitForRelease, release.get());
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(platform::waitForThread(thread, 50), platform::kWaitTimeout);
  ASSERT_TRUE(platform::setEvent(release.get()));
  EXPECT_EQ(platform::waitForThread(thread, 10000), 0u);
  // An ended thread stays ended.
  EXPECT_EQ(platform::waitForThread(thread, 0), 0u);
  platform::closeThread(thread);
}

struct Runner {
  std::atomic<bool> ran{false};
  EventHandle release = nullptr;
  EventHandle done = nullptr;
};

unsigned runAfterRelease(void* argument) {
  auto* runner = static_cast<Runner*>(argument);
  platform::waitForEvent(runner->release, 10000);
  runner->ran = true;
  platform::setEvent(runner->done);
  return 0;
}

TEST(PlatformThread, ClosingTheHandleLeavesTheThreadRunning) {
  // done is auto-reset: consuming it orders the thread's writes before ours.
  EventOwner release(true, false), done(false, false);
  Runner runner;
  runner.release = release.get();
  runner.done = done.get();
  platform::ThreadHandle thread = platform::beginThread(runAfterRelease, &runner);
  ASSERT_NE(thread, nullptr);
  platform::closeThread(thread);
  ASSERT_TRUE(platform::setEvent(release.get()));
  EXPECT_EQ(platform::waitForEvent(done.get(), 10000), 0u);
  EXPECT_TRUE(runner.ran.load());
}

struct Counter {
  platform::Lock lock;
  long value = 0;
};

unsigned addMany(void* argument) {
  auto* counter = static_cast<Counter*>(argument);
  for (int i = 0; i < 20000; ++i) {
    platform::LockGuard outer(counter->lock);
    platform::LockGuard inner(counter->lock);  // recursive on its owner
    ++counter->value;
  }
  return 0;
}

TEST(PlatformLock, IsRecursiveAndExcludesOtherThreads) {
  Counter counter;
  platform::ThreadHandle first = platform::beginThread(addMany, &counter);
  platform::ThreadHandle second = platform::beginThread(addMany, &counter);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(platform::waitForThread(first, 30000), 0u);
  EXPECT_EQ(platform::waitForThread(second, 30000), 0u);
  platform::closeThread(first);
  platform::closeThread(second);
  EXPECT_EQ(counter.value, 40000);
}

TEST(PlatformAtomicFlag, ExchangeReturnsThePreviousValue) {
  platform::AtomicFlag flag;
  EXPECT_FALSE(flag.get());
  EXPECT_FALSE(flag.exchange(true));
  EXPECT_TRUE(flag.exchange(true));
  EXPECT_TRUE(flag);
  EXPECT_TRUE(flag.exchange(false));
  EXPECT_FALSE(flag.get());
  EXPECT_TRUE(platform::AtomicFlag(true).get());
}

TEST(PlatformSleep, SleepsAtLeastTheTime) {
  const Clock::time_point start = Clock::now();
  platform::sleepMs(60);
  EXPECT_GE(elapsedMs(start), 55);
}

}  // namespace
