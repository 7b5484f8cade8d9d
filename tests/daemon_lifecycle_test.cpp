// The daemon's life run in-process, as the console run does: the test
// thread plays the service manager's dispatcher and hands controls to
// HandleControl itself; the tap records every status report.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "free_port.h"
#include "daemon/vornd.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "daemon_runner.h"
#include "recording_tap.h"

using testing_support::describeAll;
using testing_support::RecordingTap;

namespace {

class DaemonUnderTest : public CVornD {
 public:
  explicit DaemonUnderTest(const std::string& name = "lifecycle")
      : CVornD(name, name, platform::kServiceWin32OwnProcess) {
    m_config.CreateDesktop = false;
    m_config.SockPort = testing_support::freePort();  // these tests make no connections
  }
  std::uint32_t stopWaitHint() const { return m_dwStopWaitHint; }
  void setCounters(int served, int rejected) {
    m_nClientsServed = served;
    m_nClientsRejected = rejected;
  }
};

using DaemonThread = testing_support::DaemonRunner<DaemonUnderTest>;
using testing_support::waitForState;

TEST(DaemonLifecycle, PauseContinueStopFollowTheHandshake) {
  RecordingTap tap;
  DaemonThread run("lifecycle");
  run.daemon().setCounters(4, 2);
  run.start();
  ASSERT_TRUE(waitForState(tap, platform::kServiceRunning));

  run.daemon().HandleControl(platform::kControlPause);
  ASSERT_TRUE(waitForState(tap, platform::kServicePaused));
  run.daemon().HandleControl(platform::kControlContinue);
  ASSERT_TRUE(waitForState(tap, platform::kServiceContinuePending));
  const std::size_t afterContinue = tap.statuses().size();
  ASSERT_TRUE(waitForState(tap, platform::kServiceRunning, afterContinue - 1));
  run.daemon().HandleControl(platform::kControlStop);
  run.join();

  const std::string stopHint = std::to_string(run.daemon().stopWaitHint());
  // Registration fails outside a service manager, so the start-pending
  // report of a registered service is missing here; the rest is the whole
  // sequence.
  EXPECT_EQ((std::vector<std::string>{"4/0/0/3", "6/1/6000/3", "7/0/0/3", "5/1/6000/3",
                                      "4/0/0/3", "3/1/" + stopHint + "/3", "3/2/5000/3",
                                      "1/0/0/0"}),
            describeAll(tap.statuses()));
  EXPECT_EQ(4, run.daemon().clientsServed());
  EXPECT_EQ(2, run.daemon().clientsRejected());
  EXPECT_NE("0", stopHint);
}

TEST(DaemonLifecycle, StopWhilePausedNeedsNoContinue) {
  RecordingTap tap;
  DaemonThread run("lifecycle");
  run.start();
  ASSERT_TRUE(waitForState(tap, platform::kServiceRunning));
  run.daemon().HandleControl(platform::kControlPause);
  ASSERT_TRUE(waitForState(tap, platform::kServicePaused));
  run.daemon().HandleControl(platform::kControlStop);
  run.join();

  const auto sent = describeAll(tap.statuses());
  ASSERT_GE(sent.size(), 3u);
  EXPECT_EQ("7/0/0/3", sent[sent.size() - 4]);
  EXPECT_EQ("3/2/5000/3", sent[sent.size() - 2]);
  EXPECT_EQ("1/0/0/0", sent.back());
  for (const std::string& status : sent) EXPECT_NE('5', status[0]) << "a continue was reported";
}

TEST(DaemonLifecycle, ConsoleRunReportsTheFailedRegistrationAndGoesOn) {
  RecordingTap tap;
  DaemonThread run("lifecycle");
  run.start();
  ASSERT_TRUE(waitForState(tap, platform::kServiceRunning));
  const auto debug = tap.debug();
  ASSERT_FALSE(debug.empty());
  EXPECT_EQ(0u, debug[0].rfind("RegisterServiceCtrlHandler failed: ", 0)) << debug[0];
  bool reportedStatusFailure = false;
  for (const std::string& line : debug) {
    if (line.rfind("SetServiceStatus failed: ", 0) == 0) reportedStatusFailure = true;
  }
  EXPECT_TRUE(reportedStatusFailure);
}

TEST(DaemonLifecycle, DesktopPathNamesTheProcessEvenWhenUnused) {
  DaemonUnderTest daemon;
  EXPECT_EQ("", daemon.desktop());
  daemon.createWindowStation();
  const std::string expected =
      "VORND-" + std::to_string(platform::currentProcessId()) + "\\WinVornD";
  EXPECT_EQ(expected, daemon.desktop());
}

}  // namespace
