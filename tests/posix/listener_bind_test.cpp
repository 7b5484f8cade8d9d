// A port already taken: the daemon says so, listens nowhere else, and
// still stops. (Windows lets a bind with SO_REUSEADDR take over a port in
// use, so the case exists only here.)
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>

#include "daemon/vornd.h"
#include "daemon_runner.h"
#include "platform/net.h"
#include "registry_fixture.h"

namespace {

class BindingDaemon : public CVornD {
 public:
  explicit BindingDaemon(const std::string& name)
      : CVornD(name, name, platform::kServiceWin32OwnProcess) {}
  platform::SocketHandle listener() const { return m_listenSocket; }
};

TEST(ListenerBind, APortInUseIsReportedAndNothingElseIsOpened) {
  const platform::SocketHandle holder = platform::createTcpSocket();
  platform::Ipv4Endpoint any;
  ASSERT_TRUE(platform::bindSocket(holder, any));
  ASSERT_TRUE(platform::listenSocket(holder, 5));
  const std::uint16_t taken = platform::localPort(holder);

  const std::string name = testing_support::uniqueName("bindtest");
  testing_support::ScopedRegistryKey service("SYSTEM\\CurrentControlSet\\Services\\" + name);
  ASSERT_EQ(0u, service.setText("Config", "SockPort", std::to_string(taken)));
  ASSERT_EQ(0u, service.setText("Config", "CreateDesktop", "No"));

  testing_support::RecordingTap tap;
  testing_support::DaemonRunner<BindingDaemon> run(name);
  run.start();
  ASSERT_TRUE(testing_support::waitForState(tap, platform::kServiceRunning));

  // Neither bound nor listening: no port was opened in its place.
  const int fd = static_cast<int>(run.daemon().listener());
  int listening = -1;
  socklen_t length = sizeof listening;
  ASSERT_EQ(0, getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length));
  EXPECT_EQ(0, listening);
  EXPECT_EQ(0, platform::localPort(run.daemon().listener()));

  bool reported = false;
  for (const auto& event : tap.events()) {
    if (event.text.rfind("Can't bind listener socket to requested port failed: Only one usage of "
                         "each socket address",
                         0) == 0) {
      reported = true;
    }
  }
  EXPECT_TRUE(reported);

  // It still stops, with no wait spinning in between.
  run.stop();
  EXPECT_EQ(platform::kServiceStopped, tap.statuses().back().currentState);
  platform::closeSocket(holder);
}

// A port held by another program at start-up (a restart racing the old
// process): the daemon takes it as soon as it is free, says so once, and a
// stop ends the retries at once.
TEST(ListenerBind, APortInUseIsTakenOnceFreeAndReportedOnceEachWay) {
  const platform::SocketHandle holder = platform::createTcpSocket();
  platform::Ipv4Endpoint any;
  ASSERT_TRUE(platform::bindSocket(holder, any));
  ASSERT_TRUE(platform::listenSocket(holder, 5));
  const std::uint16_t taken = platform::localPort(holder);

  const std::string name = testing_support::uniqueName("bindretry");
  testing_support::ScopedRegistryKey service("SYSTEM\\CurrentControlSet\\Services\\" + name);
  ASSERT_EQ(0u, service.setText("Config", "SockPort", std::to_string(taken)));
  ASSERT_EQ(0u, service.setText("Config", "CreateDesktop", "No"));

  testing_support::RecordingTap tap;
  testing_support::DaemonRunner<BindingDaemon> run(name);
  run.start();
  ASSERT_TRUE(testing_support::waitForState(tap, platform::kServiceRunning));
  // Two failed retries (after 1 s and 2 s more), then the port comes free.
  platform::sleepMs(3500);
  EXPECT_EQ(0, platform::localPort(run.daemon().listener()));
  platform::closeSocket(holder);

  // The next attempt is due 4 s after the last one.
  bool served = false;
  for (int i = 0; i < 60 && !served; ++i) {
    platform::sleepMs(100);
    const platform::SocketHandle client = platform::createTcpSocket();
    platform::Ipv4Endpoint local;
    local.address = platform::kLoopbackAddress;
    local.port = taken;
    if (platform::localPort(run.daemon().listener()) == taken) {
      served = platform::connectSocket(client, local);
    }
    platform::closeSocket(client);
  }
  EXPECT_TRUE(served) << "the freed port was never taken";

  int failures = 0, successes = 0;
  for (const auto& event : tap.events()) {
    if (event.text.rfind("Can't bind listener socket to requested port failed: ", 0) == 0) {
      ++failures;
    }
    if (event.type == platform::EventType::Information &&
        event.text == "Listener socket bound to requested port " + std::to_string(taken) +
                          " after 4 attempts") {
      ++successes;
    }
  }
  EXPECT_EQ(1, failures);
  EXPECT_EQ(1, successes);
  run.stop();
  EXPECT_EQ(platform::kServiceStopped, tap.statuses().back().currentState);
}

TEST(ListenerBind, AStopEndsTheRetriesAtOnce) {
  const platform::SocketHandle holder = platform::createTcpSocket();
  platform::Ipv4Endpoint any;
  ASSERT_TRUE(platform::bindSocket(holder, any));
  ASSERT_TRUE(platform::listenSocket(holder, 5));

  const std::string name = testing_support::uniqueName("bindstop");
  testing_support::ScopedRegistryKey service("SYSTEM\\CurrentControlSet\\Services\\" + name);
  ASSERT_EQ(0u, service.setText("Config", "SockPort", std::to_string(platform::localPort(holder))));
  ASSERT_EQ(0u, service.setText("Config", "CreateDesktop", "No"));

  testing_support::RecordingTap tap;
  testing_support::DaemonRunner<BindingDaemon> run(name);
  run.start();
  ASSERT_TRUE(testing_support::waitForState(tap, platform::kServiceRunning));
  platform::sleepMs(1500);  // inside the 2 s pause before the second retry
  const auto begun = std::chrono::steady_clock::now();
  run.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(500));
  EXPECT_EQ(platform::kServiceStopped, tap.statuses().back().currentState);
  platform::closeSocket(holder);
}

}  // namespace
