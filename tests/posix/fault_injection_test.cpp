// Faults from outside the daemon: clients that reset the connection at
// every point of the exchange, engines that die, sleep or hang up first,
// and a log on a disk that fills up. After each the daemon must go on
// serving, and its counters must say what really happened.
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "engine_probe.h"
#include "posix/process_census.h"
#include "posix/raw_client.h"
#include "posix/throwaway_account.h"
#include "serving_fixture.h"

namespace {

using testing_support::kAccepted;
using testing_support::kRefused;
using testing_support::RawClient;
using testing_support::record;
using Clock = std::chrono::steady_clock;

long long millisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int occurrences(const std::string& text, const std::string& what) {
  int count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

class FaultInjection : public testing_support::ServingFixture {
 protected:
  FaultInjection() { config("AuthenticationMethod", "Vorn"); }

  // The daemon still does its whole job: a login is accepted, and the
  // page shows the counts expected.
  void expectStillServing(int served, const std::string& when) {
    EXPECT_EQ(kAccepted, exchange(record("u", "p"))) << when;
    EXPECT_EQ(std::to_string(served + 1) + "/0", counters()) << when;
  }
  // The counters come before the environment; a large page is cut there.
  std::string counters() {
    std::string text = page();
    text.resize(std::min(text.size(), text.find("Environment Variables:")));
    static const std::regex pattern(
        "Clients Served</td><td class=\"th\">([0-9]+)<[\\s\\S]*"
        "Clients Rejected</td><td class=\"th\">([0-9]+)<");
    std::smatch match;
    if (!std::regex_search(text, match, pattern)) return "?";
    return match[1].str() + "/" + match[2].str();
  }
};

// Resets at each point of the exchange: what was not answered counts
// nothing, an accepted reply counts once whatever the client does next.
TEST_F(FaultInjection, ClientResetsAtEveryPointLeaveTheDaemonServingAndCountingRight) {
  config("ServiceDisableFms", "Yes");
  // A page far larger than the socket buffers: the daemon is still sending
  // when the reader goes. (One variable may not pass 128 kB: exec's limit.)
  for (char name = 'A'; name < 'I'; ++name) {
    ASSERT_EQ(0u, m_service.setText("Environment", std::string("BIG") + name,
                                    std::string(64 * 1024, name)));
  }
  start();

  const std::string login = record("u", "p");
  struct Point {
    const char* name;
    std::function<void(RawClient&)> act;
    int served;  // what it adds to Clients Served
  };
  const std::vector<Point> points = {
      {"before any byte", [](RawClient&) {}, 0},
      {"after three bytes", [&](RawClient& c) { c.send(login.substr(0, 3)); }, 0},
      {"after GET", [](RawClient& c) { c.send("GET"); }, 0},
      {"mid-record", [&](RawClient& c) { c.send(login.substr(0, 100)); }, 0},
      {"one byte short", [&](RawClient& c) { c.send(login.substr(0, login.size() - 1)); }, 0},
      {"after the accepted reply",
       [&](RawClient& c) {
         c.send(login);
         EXPECT_EQ(kAccepted, c.read(2));
       },
       1},
      {"after a refusal by a switch",
       [](RawClient& c) {
         c.send(record("u", "p", "-fms_server"));
         EXPECT_EQ(kRefused, c.read(2));
       },
       0},
      {"in the middle of the status page",
       [](RawClient& c) {
         c.send("GET / HTTP/1.0\r\n\r\n");
         const std::string part = c.read(8192);
         EXPECT_EQ(0u, part.find("HTTP/1.0 200 OK\r\n"));
         EXPECT_EQ(8192u, part.size());
         EXPECT_FALSE(c.ended());
       },
       0},
  };

  constexpr int kRounds = 5;
  int served = 0;
  for (int round = 0; round < kRounds; ++round) {
    for (const Point& point : points) {
      const std::string when = std::string(point.name) + ", round " + std::to_string(round);
      {
        RawClient client(m_port, 4096);
        ASSERT_TRUE(client.connected()) << when;
        point.act(client);
        client.reset();
      }
      served += point.served;
      expectStillServing(served, when);
      ++served;
    }
  }
  // A reset is an early end, seen at once: never a wait for the record's
  // deadline.
  EXPECT_EQ(0, occurrences(log(), "no complete login record within"));
  EXPECT_TRUE(testing_support::waitUntilAllReaped(5000));
  EXPECT_EQ(0, testing_support::zombieChildren());
}

// The page is sent faster than a small receive buffer takes it in; the
// daemon closes at once, and the rest of the request, never read, must not
// turn that close into a reset that drops the page's unsent part.
TEST_F(FaultInjection, ASlowReaderGetsTheWholeOfALargeStatusPage) {
  for (char name = 'A'; name < 'I'; ++name) {
    ASSERT_EQ(0u, m_service.setText("Environment", std::string("BIG") + name,
                                    std::string(64 * 1024, name)));
  }
  start();
  const std::string whole = page();
  ASSERT_GT(whole.size(), 8u * 64 * 1024);
  for (int i = 0; i < 3; ++i) {
    RawClient client(m_port, 4096);
    ASSERT_TRUE(client.connected());
    client.send("GET / HTTP/1.0\r\nHost: 127.0.0.1\r\nUser-Agent: slow\r\n\r\n");
    const std::string got = client.readToEnd();
    EXPECT_TRUE(client.ended());
    EXPECT_EQ(whole.size(), got.size()) << "client " << i;
    EXPECT_TRUE(got == whole) << "client " << i;
  }
}

// Engines that end before looking at the socket, that never read, and
// that hang up before ending: the client sees the connection end, and the
// daemon, which waits for none of them, serves on and counts each once.
TEST_F(FaultInjection, AnEngineThatExitsAtOnceEndsTheClientsConnection) {
  config("VornExecutable", testing_support::serviceHostCommandLine("engine-probe", "exit"));
  start();
  for (int i = 0; i < 5; ++i) {
    RawClient client(m_port);
    ASSERT_TRUE(client.connected());
    client.send(record("u", "p"));
    // The reply, then the end: no other holder of the connection is left.
    EXPECT_EQ(kAccepted, client.readToEnd(10000)) << "client " << i;
    EXPECT_TRUE(client.ended()) << "client " << i;
  }
  EXPECT_EQ("5/0", counters());
  EXPECT_TRUE(testing_support::waitUntilAllReaped(5000));
  EXPECT_EQ(0, testing_support::zombieChildren());
}

TEST_F(FaultInjection, AnEngineThatNeverReadsHoldsOnlyItsOwnClient) {
  config("VornExecutable", testing_support::serviceHostCommandLine("engine-probe", "hold"));
  start();
  RawClient held(m_port);
  ASSERT_TRUE(held.connected());
  ASSERT_TRUE(held.send(record("u", "p")));
  ASSERT_EQ(kAccepted, held.read(2));
  const Clock::time_point accepted = Clock::now();
  // Talk nobody listens to.
  EXPECT_TRUE(held.send(std::string(1000, 'x')));

  // Meanwhile the daemon serves others at once.
  RawClient other(m_port);
  other.send(record("v", "q"));
  EXPECT_EQ(kAccepted, other.read(2));
  EXPECT_EQ("2/0", counters());
  EXPECT_LT(millisecondsSince(accepted), testing_support::kHoldMs / 2);

  // The held client's connection ends when its engine does, not before.
  EXPECT_EQ("", held.readToEnd(testing_support::kHoldMs + 10000));
  EXPECT_TRUE(held.ended());
  EXPECT_GE(millisecondsSince(accepted), testing_support::kHoldMs - 500);
  EXPECT_TRUE(testing_support::waitUntilAllReaped(testing_support::kHoldMs + 5000));
  EXPECT_EQ(0, testing_support::zombieChildren());
  EXPECT_EQ("2/0", counters());
}

TEST_F(FaultInjection, AnEngineThatClosesTheSocketFirstEndsTheConnectionBeforeItself) {
  config("VornExecutable", testing_support::serviceHostCommandLine("engine-probe", "close-first"));
  start();
  RawClient client(m_port);
  ASSERT_TRUE(client.connected());
  client.send(record("u", "p"));
  const Clock::time_point sent = Clock::now();
  EXPECT_EQ(kAccepted, client.readToEnd(testing_support::kLingerMs + 10000));
  EXPECT_TRUE(client.ended());
  // The engine is still alive: the end came from its close, not its exit.
  EXPECT_NE(0u, platform::posix::enginesNotReaped()) << millisecondsSince(sent) << " ms";

  EXPECT_EQ(kAccepted, exchange(record("v", "q")));
  EXPECT_EQ("2/0", counters());
  EXPECT_TRUE(testing_support::waitUntilAllReaped(testing_support::kLingerMs + 5000));
  EXPECT_EQ(0, testing_support::zombieChildren());
}

// A small file system that the test fills, mounted for one test and
// unmounted however it ends (lazily: the daemon may still hold a file).
class SmallFileSystem {
 public:
  bool mount(const std::string& path, const char* size) {
    std::filesystem::create_directories(path);
    m_path = path;
    m_mounted = testing_support::run("mount -t tmpfs -o size=" + std::string(size) +
                                     " vorndfull " + path + " 2>/dev/null");
    return m_mounted;
  }
  ~SmallFileSystem() {
    if (m_mounted) testing_support::run("umount -l " + m_path);
  }
  // Writes a filler file until the disk refuses; returns its size.
  std::size_t fill() {
    std::ofstream filler(m_path + "/filler", std::ios::binary | std::ios::app);
    const std::string block(4096, 'f');
    std::size_t written = 0;
    while (filler.write(block.data(), block.size()) && filler.flush()) written += block.size();
    return written;
  }
  void emptyFiller() { std::filesystem::remove(m_path + "/filler"); }

 private:
  std::string m_path;
  bool m_mounted = false;
};

TEST_F(FaultInjection, ALogOnAFullDiskDoesNotStopTheDaemon) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  SmallFileSystem disk;
  const std::string folder = m_dir.file("small");
  if (!disk.mount(folder, "256k")) {
    GTEST_SKIP() << "no tmpfs mount here";
  }
  const std::string logFile = folder + "/serve.log";
  config("LogFileName", logFile);
  config("LogAllEvents", "Yes");  // every connection writes to the log
  start();
  const std::string before = testing_support::readFile(logFile);
  ASSERT_NE(std::string::npos, before.find("CVornD::Run starting")) << before;

  disk.fill();
  struct statvfs space {};
  ASSERT_EQ(0, statvfs(folder.c_str(), &space));
  ASSERT_EQ(0u, space.f_bavail) << "the disk did not fill";
  int served = 0;
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(kAccepted, exchange(record("u", "p"))) << "login " << i;
    ++served;
    if (i % 10 == 0) {
      ASSERT_EQ(std::to_string(served) + "/0", counters()) << "login " << i;
    }
  }
  // Whatever the log kept, what it had before the disk filled is intact.
  EXPECT_EQ(0u, testing_support::readFile(logFile).find(before));

  // Room again: the daemon serves on (the log stays dropped; see
  // log_stream.h).
  disk.emptyFiller();
  EXPECT_EQ(kAccepted, exchange(record("u", "p")));
  EXPECT_EQ(std::to_string(served + 1) + "/0", counters());
  EXPECT_TRUE(testing_support::waitUntilAllReaped(5000));
  EXPECT_EQ(0, testing_support::zombieChildren());
}

}  // namespace
