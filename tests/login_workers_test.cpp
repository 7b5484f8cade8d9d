// The worker pool that finishes logins: jobs run side by side up to the
// thread limit, none is lost, and every source comes back once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <utility>
#include <mutex>
#include <vector>

#include "daemon/login_workers.h"
#include "platform/sync.h"

namespace {

class LoginWorkersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_finished = platform::createEvent(false, false);
    ASSERT_NE(m_finished, nullptr);
  }
  void TearDown() override { platform::closeEvent(m_finished); }

  // A handler that holds each job until released, noting how many run at
  // once.
  LoginWorkers::Handler holdingHandler() {
    return [this](LoginJob&) {
      std::unique_lock<std::mutex> guard(m_lock);
      ++m_running;
      m_mostAtOnce = std::max(m_mostAtOnce, m_running);
      m_changed.notify_all();
      m_changed.wait(guard, [this] { return m_released; });
      --m_running;
      return LoginWorkers::JobEnd::Close;
    };
  }
  bool waitForRunning(int count) {
    std::unique_lock<std::mutex> guard(m_lock);
    return m_changed.wait_for(guard, std::chrono::seconds(10),
                              [&] { return m_running == count; });
  }
  void release() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_released = true;
    m_changed.notify_all();
  }
  static LoginJob job(std::uint32_t source) {
    LoginJob made;
    made.source = platform::NetAddress::ipv4(source);
    return made;
  }

  platform::EventHandle m_finished = nullptr;
  std::mutex m_lock;
  std::condition_variable m_changed;
  int m_running = 0;
  int m_mostAtOnce = 0;
  bool m_released = false;
};

TEST_F(LoginWorkersTest, JobsRunSideBySideUpToTheLimitAndEachSourceComesBackOnce) {
  LoginWorkers workers(holdingHandler(), m_finished);
  workers.setThreadLimit(3);
  for (std::uint32_t source = 1; source <= 5; ++source) workers.submit(job(source));
  // Three at once, not more; the other two wait for a thread.
  ASSERT_TRUE(waitForRunning(3));
  EXPECT_EQ(workers.threadCount(), 3u);
  std::vector<LoginJob> finished;
  workers.takeFinished(finished);
  EXPECT_TRUE(finished.empty());

  release();
  workers.drain();
  EXPECT_EQ(m_mostAtOnce, 3);
  EXPECT_EQ(platform::waitForEvent(m_finished, 0), 0u);
  workers.takeFinished(finished);
  std::vector<std::uint32_t> sources;
  for (const LoginJob& job : finished) sources.push_back(job.source.ipv4HostOrder());
  std::sort(sources.begin(), sources.end());
  EXPECT_EQ(sources, (std::vector<std::uint32_t>{1, 2, 3, 4, 5}));
  workers.takeFinished(finished);
  EXPECT_EQ(finished.size(), 5u) << "a job is handed back once";
}

TEST_F(LoginWorkersTest, AConnectionComesBackOnlyWhenTheHandlerGivesItBack) {
  LoginWorkers workers([](LoginJob& job) {
    return job.source.ipv4HostOrder() == 2 ? LoginWorkers::JobEnd::GiveBack : LoginWorkers::JobEnd::Close;
  }, m_finished);
  workers.setThreadLimit(2);
  for (std::uint32_t source = 1; source <= 2; ++source) {
    LoginJob made = job(source);
    made.client = std::make_unique<CSocket>();
    workers.submit(std::move(made));
  }
  workers.drain();
  std::vector<LoginJob> finished;
  workers.takeFinished(finished);
  ASSERT_EQ(finished.size(), 2u);
  for (const LoginJob& done : finished) {
    EXPECT_EQ(done.client != nullptr, done.source.ipv4HostOrder() == 2) << done.source.ipv4HostOrder();
  }
}

TEST_F(LoginWorkersTest, OnlyAJobGivenBackWakesALoopThatDoesNotAskForEveryEnd) {
  LoginWorkers workers([](LoginJob& job) {
    return job.source.ipv4HostOrder() == 2 ? LoginWorkers::JobEnd::GiveBack : LoginWorkers::JobEnd::Close;
  }, m_finished);
  workers.wakeOnEveryEnd(false);
  const auto endOf = [&](std::uint32_t source) {
    LoginJob made = job(source);
    made.client = std::make_unique<CSocket>();
    std::memcpy(made.login.bytes, "secret", 6);
    workers.submit(std::move(made));
    workers.drain();
    std::vector<LoginJob> finished;
    workers.takeFinished(finished);
    EXPECT_EQ(finished.size(), 1u) << "source " << source;
    // The event comes just after the job is counted done.
    const bool woke = platform::waitForEvent(m_finished, 300) == 0;
    const bool kept = !finished.empty() && std::memcmp(finished[0].login.bytes, "secret", 6) == 0;
    return std::make_pair(woke, kept);
  };
  // Found at the next take all the same, its password already gone.
  EXPECT_EQ(endOf(1), std::make_pair(false, false));
  // A refusal still to send needs the loop, and its record.
  EXPECT_EQ(endOf(2), std::make_pair(true, true));
  workers.wakeOnEveryEnd(true);
  EXPECT_EQ(endOf(1), std::make_pair(true, false));
}

TEST_F(LoginWorkersTest, TheEndOfThePoolFinishesEveryJobHandedOver) {
  std::atomic<int> done{0};
  {
    LoginWorkers workers([&done](LoginJob&) {
      platform::sleepMs(20);
      ++done;
      return LoginWorkers::JobEnd::Close;
    }, m_finished);
    workers.setThreadLimit(2);
    for (std::uint32_t source = 0; source < 10; ++source) workers.submit(job(source));
  }
  EXPECT_EQ(done.load(), 10);
}

}  // namespace
