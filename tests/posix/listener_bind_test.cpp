// A port already taken: the daemon says so, listens nowhere else, and
// still stops. (Windows lets a bind with SO_REUSEADDR take over a port in
// use, so the case exists only here.)
#include <gtest/gtest.h>
#include <sys/socket.h>

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

}  // namespace
