// Logons that overlap or overrun, each in its own child process: one
// account's check made slow by the PAM stack (pam_exec running a sleep),
// another's left as it is. As root only, for the accounts and the PAM file.
#include <gtest/gtest.h>
#include <dirent.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/logon.h"
#include "platform/posix/logon_posix.h"
#include "posix/process_census.h"
#include "posix/slow_pam_stack.h"
#include "posix/throwaway_account.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr unsigned kSlowSeconds = 3;

struct Attempt {
  bool accepted = false;
  platform::ErrorCode error = 0;
  uid_t uid = 0;
  Clock::duration took{};
};

Attempt attempt(const testing_support::ThrowAwayAccount& account, std::uint32_t timeoutMs) {
  Attempt result;
  platform::LogonToken token = nullptr;
  platform::setLastError(0);
  const auto start = Clock::now();
  result.accepted = platform::logonUser(account.name(), account.password(), token, timeoutMs);
  result.took = Clock::now() - start;
  result.error = platform::lastError();
  if (token != nullptr) {
    result.uid = platform::posix::tokenUid(token);
    platform::closeLogonToken(token);
  }
  return result;
}

uid_t uidOf(const testing_support::ThrowAwayAccount& account) {
  const passwd* entry = getpwnam(account.name().c_str());
  return entry != nullptr ? entry->pw_uid : static_cast<uid_t>(-1);
}

// Notes every child this process has while it runs, and everything below
// those, by looking at /proc every few milliseconds: what a logon started,
// for checking afterwards that none of it is left.
class ChildWatch {
 public:
  ChildWatch() : m_before(childSet()), m_thread([this] { run(); }) {}
  ~ChildWatch() { stop(); }

  void stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
  }
  std::set<int> children() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_children;
  }
  std::set<int> below() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_below;
  }
  // The first new child, waiting at most limit for one to show.
  int first(milliseconds limit) {
    for (const auto end = Clock::now() + limit; Clock::now() < end;) {
      if (const auto seen = children(); !seen.empty()) return *seen.begin();
      std::this_thread::sleep_for(milliseconds(5));
    }
    return 0;
  }

 private:
  static std::set<int> childSet() {
    const auto listed = testing_support::childProcesses();
    return std::set<int>(listed.begin(), listed.end());
  }
  void run() {
    while (!m_stop) {
      const auto processes = testing_support::allProcesses();
      std::lock_guard<std::mutex> lock(m_mutex);
      for (const auto& process : processes) {
        if (process.parent == getpid() && m_before.count(process.pid) == 0) {
          m_children.insert(process.pid);
        }
      }
      // Parents come before their children in /proc often enough that a
      // few passes over one listing find every level.
      for (int pass = 0; pass < 4; ++pass) {
        for (const auto& process : processes) {
          if (m_children.count(process.parent) != 0 || m_below.count(process.parent) != 0) {
            m_below.insert(process.pid);
          }
        }
      }
      std::this_thread::sleep_for(milliseconds(5));
    }
  }

  std::set<int> m_before;
  std::mutex m_mutex;
  std::set<int> m_children;
  std::set<int> m_below;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

// What is left of the given processes: a child of this process still (reaped
// or not), or a process below one still running. Killed processes take a
// moment to go, so this looks again for a while before it reports anything.
std::vector<int> leftBehind(const std::set<int>& children, const std::set<int>& below = {}) {
  std::vector<int> left;
  for (const auto end = Clock::now() + milliseconds(1000);;) {
    left.clear();
    for (const auto& process : testing_support::allProcesses()) {
      const bool child = children.count(process.pid) != 0 && process.parent == getpid();
      // A killed grandchild goes to the init process, which may never
      // collect it: only a running one is left behind.
      const bool running = below.count(process.pid) != 0 && process.state != 'Z';
      if (child || running) left.push_back(process.pid);
    }
    if (left.empty() || Clock::now() > end) return left;
    std::this_thread::sleep_for(milliseconds(20));
  }
}

class PamChildLogon : public ::testing::Test {
 protected:
  PamChildLogon() : m_slow("s"), m_quick("q"), m_stack(m_slow.name(), kSlowSeconds) {}

  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "creating accounts and PAM files needs root";
    ASSERT_TRUE(m_slow.create());
    ASSERT_TRUE(m_quick.create());
    ASSERT_TRUE(m_stack.install());
  }

  testing_support::ThrowAwayAccount m_slow;
  testing_support::ThrowAwayAccount m_quick;
  testing_support::SlowPamStack m_stack;
};

TEST_F(PamChildLogon, TwoChecksAtOnceEachTakeTheirOwnTime) {
  auto slow = std::async(std::launch::async, [&] { return attempt(m_slow, platform::kInfinite); });
  // Well inside the slow one's sleep.
  std::this_thread::sleep_for(milliseconds(200));
  const Attempt quick = attempt(m_quick, 10000);
  EXPECT_EQ(slow.wait_for(milliseconds(0)), std::future_status::timeout)
      << "the slow check was over before the quick one";
  const Attempt late = slow.get();

  EXPECT_TRUE(quick.accepted) << quick.error;
  EXPECT_EQ(quick.uid, uidOf(m_quick));
  EXPECT_LT(quick.took, milliseconds(1000));
  EXPECT_TRUE(late.accepted) << late.error;
  EXPECT_EQ(late.uid, uidOf(m_slow));
  EXPECT_GE(late.took, milliseconds(kSlowSeconds * 1000 - 100));
  EXPECT_LT(late.took, milliseconds(kSlowSeconds * 1000 + 2000));
}

TEST_F(PamChildLogon, TheSlowStackStillRefusesAWrongPasswordWithItsCode) {
  platform::LogonToken token = nullptr;
  const auto start = Clock::now();
  EXPECT_FALSE(platform::logonUser(m_slow.name(), "not-" + m_slow.password(), token, 10000));
  EXPECT_EQ(platform::lastError(), platform::kErrorLogonFailure);
  EXPECT_EQ(token, nullptr);
  EXPECT_GE(Clock::now() - start, milliseconds(kSlowSeconds * 1000 - 100));
}

TEST_F(PamChildLogon, ACheckOverItsBoundIsAbandonedWith1460AndLeavesNothing) {
  ChildWatch watch;
  // Half the stack's time: long enough for a loaded machine to reach the
  // stack's sleep, short enough to tell an abandoned check from a finished one.
  constexpr std::uint32_t kBoundMs = kSlowSeconds * 1000 / 2;
  const Attempt bounded = attempt(m_slow, kBoundMs);
  watch.stop();
  EXPECT_FALSE(bounded.accepted);
  EXPECT_EQ(bounded.error, 1460u);
  EXPECT_TRUE(platform::systemErrorText(1460).has_value());
  EXPECT_GE(bounded.took, milliseconds(kBoundMs - 50));
  EXPECT_LT(bounded.took, milliseconds(kSlowSeconds * 1000 - 300));
  const std::set<int> children = watch.children();
  ASSERT_FALSE(children.empty()) << "no logon child was seen";
  // The sleep pam_exec started, in a session of its own.
  EXPECT_FALSE(watch.below().empty()) << "nothing was seen below the logon child";
  EXPECT_EQ(leftBehind(children, watch.below()), std::vector<int>{});

  // The account itself is fine: without the bound the same check passes.
  const Attempt unbounded = attempt(m_slow, platform::kInfinite);
  EXPECT_TRUE(unbounded.accepted) << unbounded.error;
  EXPECT_EQ(unbounded.uid, uidOf(m_slow));
}

TEST_F(PamChildLogon, AChildThatDiesBeforeAnsweringIsAnErrorNotAHang) {
  ChildWatch watch;
  auto pending =
      std::async(std::launch::async, [&] { return attempt(m_slow, platform::kInfinite); });
  const int child = watch.first(milliseconds(2000));
  ASSERT_NE(child, 0) << "no logon child was seen";
  // Inside the sleep: the child is waiting for the module, and dies of
  // something else than the daemon's own doing.
  std::this_thread::sleep_for(milliseconds(300));
  const auto killed = Clock::now();
  ASSERT_EQ(kill(child, SIGKILL), 0);
  ASSERT_EQ(pending.wait_for(milliseconds(2000)), std::future_status::ready)
      << "the logon still waits for a dead child";
  const Attempt result = pending.get();
  watch.stop();
  EXPECT_FALSE(result.accepted);
  EXPECT_EQ(result.error, 1067u);
  EXPECT_TRUE(platform::systemErrorText(1067).has_value());
  EXPECT_LT(Clock::now() - killed, milliseconds(1000));
  // Reaped. What the module started went to the init process when the
  // child died, out of anyone's reach here, and ends by itself.
  EXPECT_EQ(leftBehind(watch.children()), std::vector<int>{});
}

std::string linkOf(const std::string& path) {
  char target[256];
  const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
  return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

// "SigBlk:\t0000000000000000" and the like, from /proc/<pid>/status.
std::string statusField(int pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(name + ":", 0) == 0) return line.substr(name.size() + 2);
  }
  return "<none>";
}

// The daemon holds its clients' sockets, some of them inheritable, and may
// block or ignore signals; the logon child gets none of that.
TEST_F(PamChildLogon, TheChildHoldsNothingOfTheCallersButItsChannel) {
  int inheritable[2];
  ASSERT_EQ(pipe(inheritable), 0);
  struct sigaction ignore{}, previous{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGHUP, &ignore, &previous), 0);

  ChildWatch watch;
  auto pending = std::async(std::launch::async, [&] {
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    return attempt(m_slow, platform::kInfinite);
  });
  const int child = watch.first(milliseconds(2000));
  // Well inside the sleep, long after the child set itself up.
  std::this_thread::sleep_for(milliseconds(500));
  std::map<int, std::string> descriptors;
  std::string blocked = "<unread>", ignored = "<unread>";
  if (child != 0) {
    const std::string folder = "/proc/" + std::to_string(child) + "/fd";
    if (DIR* listing = opendir(folder.c_str())) {
      while (const dirent* entry = readdir(listing)) {
        if (entry->d_name[0] != '.') {
          descriptors[std::atoi(entry->d_name)] = linkOf(folder + "/" + entry->d_name);
        }
      }
      closedir(listing);
    }
    blocked = statusField(child, "SigBlk");
    ignored = statusField(child, "SigIgn");
  }
  const Attempt result = pending.get();
  sigaction(SIGHUP, &previous, nullptr);
  const std::string pipeEnds[] = {linkOf("/proc/self/fd/" + std::to_string(inheritable[0])),
                                  linkOf("/proc/self/fd/" + std::to_string(inheritable[1]))};
  close(inheritable[0]);
  close(inheritable[1]);

  ASSERT_NE(child, 0) << "no logon child was seen";
  EXPECT_TRUE(result.accepted) << result.error;
  EXPECT_EQ(descriptors[0], "/dev/null");
  EXPECT_EQ(descriptors[1], "/dev/null");
  EXPECT_EQ(descriptors[3].rfind("socket:", 0), 0u) << descriptors[3];
  for (const auto& [number, target] : descriptors) {
    EXPECT_NE(target, pipeEnds[0]) << number;
    EXPECT_NE(target, pipeEnds[1]) << number;
  }
  EXPECT_EQ(blocked, "0000000000000000");
  // Signals 32 and 33 are the C library's own (thread cancellation and
  // set*id across threads); its posix_spawn leaves them ignored in the
  // child, and nothing else sends them.
  const unsigned long long libraryOwn = (1ull << 31) | (1ull << 32);
  EXPECT_EQ(std::stoull(ignored, nullptr, 16) & ~libraryOwn, 0u) << ignored;
}

// The PAM file comes back exactly as it was, whatever it was.
TEST(SlowPamStackFixture, PutsBackTheServiceFileItReplaced) {
  if (geteuid() != 0) GTEST_SKIP() << "writing /etc/pam.d needs root";
  const auto read = [] {
    std::ifstream in(testing_support::SlowPamStack::kServiceFile, std::ios::binary);
    if (!in) return std::string("<absent>");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  };
  const std::string before = read();
  {
    testing_support::SlowPamStack stack("vorndpamx", 1);
    ASSERT_TRUE(stack.install());
    const std::string during = read();
    EXPECT_NE(during.find("user = vorndpamx\n"), std::string::npos) << during;
    if (before != "<absent>") {
      EXPECT_NE(during.find(before), std::string::npos);
    }
  }
  EXPECT_EQ(read(), before);
}

}  // namespace
