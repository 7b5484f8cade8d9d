// A port already taken: the daemon says so, listens nowhere else, takes
// the port once it is free, and still stops. (Windows lets a bind with SO_REUSEADDR take over a port in
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
  platform::SocketHandle listener() const { return listenSocket(); }
};

// A daemon configured for a port that another socket holds.
class ListenerBind : public ::testing::Test {
 protected:
  ListenerBind()
      : m_name(testing_support::uniqueName("bindtest")),
        m_service("SYSTEM\\CurrentControlSet\\Services\\" + m_name),
        m_run(m_name) {
    platform::Ipv4Endpoint any;
    m_holder = platform::createTcpSocket();
    EXPECT_TRUE(platform::bindSocket(m_holder, any));
    EXPECT_TRUE(platform::listenSocket(m_holder, 5));
    m_taken = platform::localPort(m_holder);
    EXPECT_EQ(0u, m_service.setText("Config", "SockPort", std::to_string(m_taken)));
    EXPECT_EQ(0u, m_service.setText("Config", "CreateDesktop", "No"));
  }
  ~ListenerBind() override {
    m_run.stop();
    releasePort();
  }
  // Started, and past its first bind: it reports that it waits for the
  // port (start pending, a checkpoint past the first).
  void start() {
    m_run.start();
    for (int i = 0; i < 1000 && waitingReports() == 0; ++i) platform::sleepMs(10);
    ASSERT_EQ(1, waitingReports());
  }
  int waitingReports() {
    int count = 0;
    for (const auto& status : m_tap.statuses()) {
      count += status.currentState == platform::kServiceStartPending && status.checkPoint > 1;
    }
    return count;
  }
  bool reportedRunning() {
    for (const auto& status : m_tap.statuses()) {
      if (status.currentState == platform::kServiceRunning) return true;
    }
    return false;
  }
  void releasePort() {
    if (m_holder != platform::kInvalidSocket) platform::closeSocket(m_holder);
    m_holder = platform::kInvalidSocket;
  }
  std::uint16_t bound() { return platform::localPort(m_run.daemon().listener()); }
  int eventsStartingWith(const std::string& text) {
    int count = 0;
    for (const auto& event : m_tap.events()) count += event.text.rfind(text, 0) == 0 ? 1 : 0;
    return count;
  }

  testing_support::RecordingTap m_tap;
  std::string m_name;
  testing_support::ScopedRegistryKey m_service;
  testing_support::DaemonRunner<BindingDaemon> m_run;
  platform::SocketHandle m_holder = platform::kInvalidSocket;
  std::uint16_t m_taken = 0;
};

const char kBindFailed[] = "Can't bind listener socket to requested port failed: ";

TEST_F(ListenerBind, APortInUseIsReportedAndNothingElseIsOpened) {
  start();

  // Neither bound nor listening: no port was opened in its place.
  const int fd = static_cast<int>(m_run.daemon().listener());
  int listening = -1;
  socklen_t length = sizeof listening;
  ASSERT_EQ(0, getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length));
  EXPECT_EQ(0, listening);
  EXPECT_EQ(0, bound());
  EXPECT_EQ(1, eventsStartingWith(std::string(kBindFailed) + "Only one usage of each socket address"));
  // Not listening is not running: start pending, a stop the only control.
  EXPECT_FALSE(reportedRunning());
  EXPECT_EQ(platform::kAcceptStop, m_tap.statuses().back().controlsAccepted);
  EXPECT_GE(m_tap.statuses().back().waitHint, 6000u);

  // It still stops, with no wait spinning in between.
  m_run.stop();
  EXPECT_EQ(platform::kServiceStopped, m_tap.statuses().back().currentState);
}

// A port held by another program at start-up (a restart racing the old
// process): the daemon takes it as soon as it is free, says so once, and a
// stop ends the retries at once.
TEST_F(ListenerBind, APortInUseIsTakenOnceFreeAndReportedOnceEachWay) {
  start();
  // Two failed retries (after 1 s and 2 s more), then the port comes free.
  platform::sleepMs(3500);
  EXPECT_EQ(0, bound());
  // Each failed attempt advances the checkpoint; running only once bound.
  EXPECT_EQ(3, waitingReports());
  EXPECT_FALSE(reportedRunning());
  releasePort();

  // The next attempt is due 4 s after the last one.
  bool served = false;
  for (int i = 0; i < 60 && !served; ++i) {
    platform::sleepMs(100);
    if (bound() != m_taken) continue;
    const platform::SocketHandle client = platform::createTcpSocket();
    platform::Ipv4Endpoint local;
    local.address = platform::kLoopbackAddress;
    local.port = m_taken;
    served = platform::connectSocket(client, local);
    platform::closeSocket(client);
  }
  EXPECT_TRUE(served) << "the freed port was never taken";
  EXPECT_TRUE(testing_support::waitForState(m_tap, platform::kServiceRunning));
  EXPECT_EQ(platform::kAcceptStop | platform::kAcceptPauseContinue,
            m_tap.statuses().back().controlsAccepted);
  EXPECT_EQ(1, eventsStartingWith(kBindFailed));
  EXPECT_EQ(1, eventsStartingWith("Listener socket bound to requested port " +
                                  std::to_string(m_taken) + " after 4 attempts"));
  m_run.stop();
  EXPECT_EQ(platform::kServiceStopped, m_tap.statuses().back().currentState);
}

TEST_F(ListenerBind, AStopEndsTheRetriesAtOnce) {
  start();
  platform::sleepMs(1500);  // inside the 2 s pause before the second retry
  const auto begun = std::chrono::steady_clock::now();
  m_run.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(500));
  EXPECT_EQ(platform::kServiceStopped, m_tap.statuses().back().currentState);
}

}  // namespace
