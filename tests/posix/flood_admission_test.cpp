// Floods of connections that send nothing, or a byte now and then, from
// many addresses at once: a login from elsewhere is still answered within
// half a second; a daemon short of descriptors still serves and never
// spins; a full set of login slots holds up no page and no record.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "posix/daemon_process.h"
#include "posix/slow_pam_stack.h"
#include "posix/throwaway_account.h"
#include "serving_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::Client;
using testing_support::kAccepted;
using testing_support::kRefused;
using testing_support::record;

constexpr std::uint32_t kLoginHost = 0x7F000002;  // 127.0.0.2
// The flood comes from 127.0.1.1 up.
constexpr std::uint32_t floodHost(int index) { return 0x7F000101u + static_cast<std::uint32_t>(index); }

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Connections from `addresses` sources, `perAddress` each, that send
// nothing (or, trickling, one byte every quarter second); with `renew`,
// each one the daemon closes is opened again at once.
class Flood {
 public:
  Flood(std::uint16_t port, int addresses, int perAddress, bool trickle, bool renew)
      : m_port(port), m_perAddress(perAddress), m_trickle(trickle), m_renew(renew) {
    for (int i = 0; i < addresses; ++i) m_threads.emplace_back([this, i] { hold(floodHost(i)); });
  }
  ~Flood() {
    m_stop = true;
    for (std::thread& thread : m_threads) thread.join();
  }
  int opened() const { return m_opened; }

 private:
  int connect(std::uint32_t source) {
    const platform::SocketHandle socket = platform::createTcpSocket();
    platform::bindSocket(socket, platform::Ipv4Endpoint{source, 0});
    platform::connectSocket(socket, platform::Ipv4Endpoint{platform::kLoopbackAddress, m_port});
    ++m_opened;
    return static_cast<int>(socket);
  }
  void hold(std::uint32_t source) {
    std::vector<pollfd> held;
    for (int i = 0; i < m_perAddress; ++i) held.push_back({connect(source), POLLIN, 0});
    Clock::time_point nextByte = Clock::now();
    while (!m_stop) {
      poll(held.data(), held.size(), 20);
      for (pollfd& entry : held) {
        if (entry.revents == 0) continue;
        char byte;
        if (recv(entry.fd, &byte, 1, 0) > 0) continue;
        close(entry.fd);
        entry.fd = m_renew ? connect(source) : -1;
        entry.revents = 0;
      }
      if (m_trickle && Clock::now() >= nextByte) {
        for (const pollfd& entry : held) {
          if (entry.fd >= 0) send(entry.fd, "x", 1, MSG_NOSIGNAL);
        }
        nextByte += std::chrono::milliseconds(250);
      }
    }
    for (const pollfd& entry : held) {
      if (entry.fd >= 0) close(entry.fd);
    }
  }

  std::uint16_t m_port;
  int m_perAddress;
  bool m_trickle;
  bool m_renew;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_opened{0};
  std::vector<std::thread> m_threads;
};

struct Logins {
  std::vector<double> ms;
  int accepted = 0;
  double p95() const {
    std::vector<double> sorted = ms;
    std::sort(sorted.begin(), sorted.end());
    return sorted.empty() ? 0 : sorted[std::min(sorted.size() - 1, sorted.size() * 95 / 100)];
  }
};

// One login every 100 ms from kLoginHost for `seconds`, each timed from
// the connect to its reply.
Logins loginEvery100Ms(std::uint16_t port, int seconds) {
  Logins logins;
  for (int i = 0; i < seconds * 10; ++i) {
    const Clock::time_point begun = Clock::now();
    Client client(port, kLoginHost);
    client.send(record("legit", "pw"));
    if (client.read(2, 3000) == kAccepted) ++logins.accepted;
    logins.ms.push_back(millisecondsSince(begun));
    const double left = 100 - millisecondsSince(begun);
    if (left > 0) platform::sleepMs(static_cast<std::uint32_t>(left));
  }
  return logins;
}

class FloodAdmission : public testing_support::ServingFixture {
 protected:
  FloodAdmission() {
    config("AuthenticationMethod", "Vorn");
    config("SockReceiveTimeout", "2");
  }
};

TEST_F(FloodAdmission, LoginsAreAnsweredWhileManyAddressesHoldOrTrickleTheirConnections) {
  start();
  struct Case {
    const char* what;
    int addresses;
    bool trickle;
  };
  for (const Case c : {Case{"32 addresses, 8 silent each", 32, false},
                       Case{"16 addresses, 8 trickling each", 16, true}}) {
    Flood flood(m_port, c.addresses, 8, c.trickle, true);
    platform::sleepMs(300);
    // Long enough for the flood to be closed and renewed twice over.
    const Logins logins = loginEvery100Ms(m_port, 5);
    EXPECT_EQ(logins.accepted, static_cast<int>(logins.ms.size())) << c.what;
    EXPECT_LT(logins.p95(), 500) << c.what;
    EXPECT_GT(flood.opened(), c.addresses * 8 * 2) << c.what << ": renewed";
    RecordProperty(c.trickle ? "trickle_p95_ms" : "silent_p95_ms",
                   static_cast<int>(logins.p95()));
  }
}

TEST_F(FloodAdmission, AFullSetOfLoginSlotsHoldsUpNoPageAndNoRecord) {
  if (geteuid() != 0) GTEST_SKIP() << "creating accounts and PAM files needs root";
  testing_support::ThrowAwayAccount slow("slot");
  ASSERT_TRUE(slow.create());
  testing_support::SlowPamStack stack(slow.name(), 2);
  ASSERT_TRUE(stack.install());
  config("AuthenticationMethod", "logonuser");
  config("MaxPendingLogins", "1");
  config("ServiceDisableFms", "Yes");
  start();
  // Two slow logins: one in its check, the other waiting for the slot.
  double slowMs[2] = {0, 0};
  std::string slowReply[2];
  std::vector<std::thread> slowLogins;
  for (int i = 0; i < 2; ++i) {
    slowLogins.emplace_back([&, i] {
      const Clock::time_point begun = Clock::now();
      Client client(m_port, kLoginHost + static_cast<std::uint32_t>(i));
      client.send(record(slow.name(), slow.password()));
      slowReply[i] = client.read(2, 15000);
      slowMs[i] = millisecondsSince(begun);
    });
    platform::sleepMs(200);
  }
  Clock::time_point begun = Clock::now();
  EXPECT_NE(page().find("Clients Served"), std::string::npos);
  EXPECT_LT(millisecondsSince(begun), 500) << "the page";
  begun = Clock::now();
  EXPECT_EQ(exchange(record("fms", "pw", "-fms_server")), kRefused);
  EXPECT_LT(millisecondsSince(begun), 500) << "a record the switches refuse";
  for (std::thread& login : slowLogins) login.join();
  EXPECT_EQ(slowReply[0], kAccepted);
  EXPECT_EQ(slowReply[1], kAccepted);
  // The second waited for the first's slot instead of being dropped.
  EXPECT_GT(std::max(slowMs[0], slowMs[1]), 3500);
  EXPECT_TRUE(stack.restore());
}

// The daemon as a process of its own.
class LimitedDaemon : public testing_support::DaemonProcess {
 protected:
  LimitedDaemon() {
    config("AuthenticationMethod", "Vorn");
    config("SockReceiveTimeout", "30");
  }
};

TEST_F(LimitedDaemon, ShortOfDescriptorsItStillServesAndNeverSpins) {
  start(128);
  // Far more silent connections than 128 descriptors hold, kept open.
  Flood flood(m_port, 25, 8, false, false);
  platform::sleepMs(1000);
  const long ticksBefore = cpuTicks();
  const Logins logins = loginEvery100Ms(m_port, 3);
  const int held = descriptors();
  platform::sleepMs(1000);
  const long ticks = cpuTicks() - ticksBefore;
  EXPECT_EQ(logins.accepted, static_cast<int>(logins.ms.size()));
  EXPECT_LT(logins.p95(), 500);
  EXPECT_LE(held, 128);
  // Four seconds with 30 logins and nothing else to do: well under a
  // tenth of a core.
  EXPECT_LT(ticks, sysconf(_SC_CLK_TCK) * 4 / 10) << ticks << " ticks";
  RecordProperty("daemon_descriptors", held);
  RecordProperty("daemon_ticks", static_cast<int>(ticks));
}

}  // namespace
