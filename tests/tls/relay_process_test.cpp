#include <signal.h>

#include <algorithm>

#include "tls_fixture.h"

namespace tls_testing {
namespace {

class TlsProcesses : public RelayTest {
 protected:
  // The master's one new child once a session is up.
  pid_t newChild(const std::vector<pid_t>& before) {
    for (pid_t pid : master->children()) {
      if (std::find(before.begin(), before.end(), pid) == before.end()) return pid;
    }
    return -1;
  }

  // Waits until the master has exactly `count` children; none may be a
  // zombie, as the kernel reaps them.
  bool childrenSettleAt(std::size_t count) {
    const Clock::time_point deadline = Clock::now() + 5s;
    for (;;) {
      const std::vector<pid_t> children = master->children();
      for (pid_t pid : children) {
        EXPECT_NE(processStatus(pid, "State").rfind("Z", 0), 0u) << "zombie " << pid;
      }
      if (children.size() == count) return true;
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(20ms);
    }
  }
};

TEST_F(TlsProcesses, ChannelEndStopsTheMasterButNotItsSessions) {
  startMaster(10);
  std::optional<LiveSession> session = startSession(*master, listener);
  ASSERT_TRUE(session);
  master->closeChannel();
  EXPECT_EQ(master->waitExit(), 0);
  expectRelays(*session, "after the master");
  session->sockets.inner.reset();
  bool closeNotify = false;
  EXPECT_EQ(session->client->read(1, &closeNotify), "");
  EXPECT_TRUE(closeNotify);
}

// Sessions do not hold the channel open: the daemon learns at once that
// its master died, however many sessions still run.
TEST_F(TlsProcesses, MasterDeathShowsOnTheChannelWhileSessionsRun) {
  startMaster(10);
  std::optional<LiveSession> session = startSession(*master, listener);
  ASSERT_TRUE(session);
  ASSERT_EQ(::kill(master->pid(), SIGKILL), 0);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(master->receive(), std::nullopt);
  EXPECT_LT(Clock::now() - start, 5s) << "the channel stayed open";
  expectRelays(*session, "after the master died");
}

TEST_F(TlsProcesses, KillingASessionEndsOnlyThatSessionAndLeavesNoZombie) {
  startMaster(10);
  std::optional<LiveSession> doomed = startSession(*master, listener);
  ASSERT_TRUE(doomed);
  const pid_t doomedPid = newChild({});
  ASSERT_GT(doomedPid, 0);
  std::optional<LiveSession> survivor = startSession(*master, listener);
  ASSERT_TRUE(survivor);
  EXPECT_EQ(processStatus(doomedPid, "Name"), "vornd-tls");

  ASSERT_EQ(::kill(doomedPid, SIGKILL), 0);
  EXPECT_EQ(readToEnd(doomed->sockets.inner.get()), std::optional<std::string>(""));
  EXPECT_EQ(doomed->client->read(1), "");
  EXPECT_TRUE(childrenSettleAt(1));
  expectRelays(*survivor, "beside the killed one");

  // A session that ends by itself is gone as well.
  survivor->sockets.inner.reset();
  bool closeNotify = false;
  EXPECT_EQ(survivor->client->read(1, &closeNotify), "");
  EXPECT_TRUE(closeNotify);
  EXPECT_TRUE(childrenSettleAt(0));
}

TEST_F(TlsProcesses, SessionPrivateMemoryStaysUnderTwoMegabytes) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer's shadow memory is private to each process";
#endif
  startMaster(10);
  std::optional<LiveSession> session = startSession(*master, listener);
  ASSERT_TRUE(session);
  const pid_t pid = newChild({});
  ASSERT_GT(pid, 0);
  // Both buffers and both directions in use before measuring.
  const std::string up = patternBytes(256 << 10, 3), down = patternBytes(256 << 10, 4);
  std::thread writer([&] { session->client->write(up); });
  EXPECT_TRUE(readExactly(session->sockets.inner.get(), up.size()) == up);
  writer.join();
  writer = std::thread([&] { writeAll(session->sockets.inner.get(), down); });
  EXPECT_TRUE(session->client->read(down.size()) == down);
  writer.join();

  std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
  ASSERT_TRUE(rollup);
  std::string line;
  long privateKb = 0;
  int fields = 0;
  while (std::getline(rollup, line)) {
    if (line.rfind("Private_Clean:", 0) == 0 || line.rfind("Private_Dirty:", 0) == 0) {
      privateKb += std::stol(line.substr(line.find(':') + 1));
      ++fields;
    }
  }
  ASSERT_EQ(fields, 2);
  EXPECT_LT(privateKb, 2048);
  RecordProperty("session_private_kb", static_cast<int>(privateKb));
}

}  // namespace
}  // namespace tls_testing
