// The connection loop under load and under a shortage of descriptors:
// exact counts, nothing left behind, and no spin when accepting fails.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "posix/process_census.h"
#include "posix/slow_pam_stack.h"
#include "posix/throwaway_account.h"
#include "serving_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::Client;
using testing_support::kAccepted;
using testing_support::kRefused;
using testing_support::record;

class ConcurrentLoad : public testing_support::ServingFixture {
 protected:
  ConcurrentLoad() {
    config("AuthenticationMethod", "Vorn");
    config("VornExecutable", "/bin/true");
    config("ServiceDisableFms", "Yes");
    config("SockReceiveTimeout", "1");
  }

};

// Eight clients at a time from eight addresses, each running a random
// mix; the daemon's counters must match what the clients saw.
TEST_F(ConcurrentLoad, AThousandMixedConnectionsCountExactlyAndLeaveNothingBehind) {
  start();
  // One login first: the reaper's thread and descriptor come with the
  // first engine and stay.
  {
    Client first(m_port);
    first.send(record("load", "pw"));
    ASSERT_EQ(first.readAll(), kAccepted);
  }
  ASSERT_EQ(counters(), "1/0");
  ASSERT_TRUE(testing_support::waitUntilAllReaped());
  const int descriptorsBefore = testing_support::openDescriptors();

  constexpr int kThreads = 8;
  constexpr int kEach = 125;
  std::atomic<int> served{1}, failures{0}, silent{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(static_cast<unsigned>(t) * 7919u + 1u);
      const std::uint32_t source = 0x7F000001 + static_cast<std::uint32_t>(t);
      for (int i = 0; i < kEach; ++i) {
        Client client(m_port, source);
        if (!client.connected()) {
          ++failures;
          continue;
        }
        const unsigned kind = random() % 100;
        if (kind < 50) {
          client.send(record("load", "pw"));
          if (client.readAll(10000) == kAccepted) ++served; else ++failures;
        } else if (kind < 70) {
          client.send(record("load", "pw", "-fms_server"));
          if (client.readAll(10000) != kRefused) ++failures;
        } else if (kind < 85) {
          client.send("GET / HTTP/1.0\r\n\r\n");
          if (client.readAll(10000).find("</html>") == std::string::npos) ++failures;
        } else if (kind < 99) {
          client.send(record("load", "pw").substr(0, 1 + random() % 300));
        } else {
          // Closed by the daemon when its second is up, without a reply.
          if (client.readAll(5000) != "") ++failures;
          ++silent;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);

  // Every connection is done with once the page counts them all and the
  // daemon holds no descriptor of theirs.
  const std::string expected = std::to_string(served.load()) + "/0";
  std::string counted;
  int descriptorsAfter = -1;
  for (int waited = 0; waited < 5000; waited += 50) {
    testing_support::waitUntilAllReaped();
    counted = counters();
    descriptorsAfter = testing_support::openDescriptors();
    if (counted == expected && descriptorsAfter == descriptorsBefore) break;
    platform::sleepMs(50);
  }
  EXPECT_EQ(counted, expected);
  EXPECT_EQ(descriptorsAfter, descriptorsBefore);
  EXPECT_TRUE(testing_support::waitUntilAllReaped());
  EXPECT_EQ(testing_support::zombieChildren(), 0);
  EXPECT_EQ(logOccurrences("no complete login record within 1 seconds"),
            static_cast<std::size_t>(silent.load()));
}

// Two accounts through the system's logon at once, one of them behind a
// PAM stack that takes three seconds: the other is answered at once.
TEST_F(ConcurrentLoad, ASlowLogonForOneAccountHoldsUpNoOther) {
  if (geteuid() != 0) GTEST_SKIP() << "creating accounts and PAM files needs root";
  testing_support::ThrowAwayAccount slow("slow"), quick("quick");
  ASSERT_TRUE(slow.create());
  ASSERT_TRUE(quick.create());
  testing_support::SlowPamStack stack(slow.name(), 3);
  ASSERT_TRUE(stack.install());
  // Checked by the system, launched as the daemon: any spelling but the
  // exact one.
  config("AuthenticationMethod", "logonuser");
  start();

  double slowMs = 0;
  std::string slowReply;
  std::thread slowLogin([&] {
    const Clock::time_point begun = Clock::now();
    Client client(m_port, 0x7F000002);
    client.send(record(slow.name(), slow.password()));
    slowReply = client.read(2, 10000);
    slowMs = std::chrono::duration<double, std::milli>(Clock::now() - begun).count();
  });
  platform::sleepMs(300);
  const Clock::time_point begun = Clock::now();
  Client client(m_port);
  client.send(record(quick.name(), quick.password()));
  EXPECT_EQ(client.read(2, 10000), kAccepted);
  const double quickMs = std::chrono::duration<double, std::milli>(Clock::now() - begun).count();
  slowLogin.join();
  EXPECT_LT(quickMs, 1000);
  EXPECT_EQ(slowReply, kAccepted);
  EXPECT_GT(slowMs, 2500);
  EXPECT_TRUE(stack.restore());
}

// Out of descriptors with a connection queued: accepting pauses and is
// reported once a pause, and the client is served once there are
// descriptors again.
TEST_F(ConcurrentLoad, AnAcceptThatKeepsFailingPausesAndReportsOncePerPause) {
  start();
  rlimit original{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
  // The client's socket is made first; then no descriptor is left, the
  // gaps below the highest one filled, and only then does it connect.
  const platform::SocketHandle client = platform::createTcpSocket();
  ASSERT_NE(client, platform::kInvalidSocket);
  rlimit lowered = original;
  lowered.rlim_cur = static_cast<rlim_t>(testing_support::highestDescriptor() + 1);
  m_tap.clear();
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  std::vector<int> fillers;
  for (int fd; (fd = dup(0)) >= 0;) fillers.push_back(fd);
  const bool connected =
      platform::connectSocket(client, platform::Ipv4Endpoint{platform::kLoopbackAddress, m_port});
  const std::string login = record("limited", "pw");
  platform::sendSocket(client, login.data(), static_cast<int>(login.size()));
  platform::sleepMs(5000);
  std::size_t reports = 0;
  // Each report goes to the debug output too; the event log itself needs
  // a descriptor, and there is none.
  for (const auto& line : m_tap.debug()) {
    if (line.find("accept failed to complete") != std::string::npos) ++reports;
  }
  for (const int fd : fillers) close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &original), 0);
  EXPECT_TRUE(connected);
  EXPECT_GE(reports, 1u);
  EXPECT_LT(reports, 20u);
  RecordProperty("accept_reports", static_cast<int>(reports));

  // Served once there are descriptors again.
  std::string reply;
  char buffer[16];
  for (int got; platform::waitUntilReadable(client, 5000) == 1 &&
                (got = platform::receiveSocket(client, buffer, sizeof buffer)) > 0;) {
    reply.append(buffer, static_cast<std::size_t>(got));
  }
  platform::closeSocket(client);
  EXPECT_EQ(reply, kAccepted);
}

}  // namespace
