#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/sync.h"
#include "recording_tap.h"
#include "service/service.h"

using testing_support::describe;
using testing_support::RecordingTap;

namespace {

// A service whose insides the tests may look at. It is never registered,
// so every status report fails at the service manager and is reported;
// the tap still sees each one as it is made.
class ProbeService : public CService {
 public:
  ProbeService() : CService("probe", "probe", platform::kServiceWin32OwnProcess) {}
  ~ProbeService() override { Cleanup(); }

  void Run() override {}
  void OnStop() override { ++stops; }
  void OnPause() override { ++pauses; }
  void OnContinue() override { ++continues; }
  void OnUserControl(std::uint32_t control) override { userControls.push_back(control); }

  bool signalled(int index) { return platform::waitForEvent(m_hControlEvents[index], 0) == 0; }
  void setState(std::uint32_t state) { m_dwCurrentState = state; }
  std::uint32_t lastControl() const { return m_dwLastControl; }

  using CService::kContinueEvent;
  using CService::kPauseEvent;
  using CService::kShutdownEvent;
  using CService::kStopEvent;

  int stops = 0;
  int pauses = 0;
  int continues = 0;
  std::vector<std::uint32_t> userControls;
};

TEST(ServiceControls, RepeatedControlIsDroppedButAlternatingOnesAreActedUpon) {
  ProbeService service;
  service.CreateControlEvents();

  service.HandleControl(platform::kControlStop);
  service.HandleControl(platform::kControlStop);
  EXPECT_TRUE(service.signalled(ProbeService::kStopEvent));
  EXPECT_FALSE(service.signalled(ProbeService::kStopEvent)) << "second stop must not signal";

  service.setState(platform::kServiceRunning);
  service.HandleControl(platform::kControlPause);
  service.HandleControl(platform::kControlPause);
  EXPECT_TRUE(service.signalled(ProbeService::kPauseEvent));
  EXPECT_FALSE(service.signalled(ProbeService::kPauseEvent));

  service.setState(platform::kServicePaused);
  service.HandleControl(platform::kControlContinue);
  EXPECT_TRUE(service.signalled(ProbeService::kContinueEvent));
  service.HandleControl(platform::kControlPause);
  EXPECT_TRUE(service.signalled(ProbeService::kPauseEvent));
  EXPECT_EQ(platform::kControlPause, service.lastControl());
}

TEST(ServiceControls, ContinueWhileRunningIsDroppedAndNotRemembered) {
  ProbeService service;
  service.CreateControlEvents();
  service.setState(platform::kServicePaused);
  service.HandleControl(platform::kControlPause);
  service.setState(platform::kServiceRunning);
  service.HandleControl(platform::kControlContinue);
  EXPECT_FALSE(service.signalled(ProbeService::kContinueEvent));
  EXPECT_EQ(platform::kControlPause, service.lastControl());
}

TEST(ServiceControls, InterrogateResendsStoredStatusEveryTime) {
  RecordingTap tap;
  ProbeService service;
  service.CreateControlEvents();
  service.SetStatus(platform::kServicePausePending, 4, 6000, 3, 0, 0);
  tap.clear();

  service.HandleControl(platform::kControlInterrogate);
  service.HandleControl(platform::kControlInterrogate);
  ASSERT_EQ(2u, tap.statuses().size());
  for (const platform::ServiceStatus& sent : tap.statuses()) {
    EXPECT_EQ("6/4/6000/3", describe(sent));
  }
  EXPECT_EQ(0u, service.lastControl());
}

TEST(ServiceControls, ShutdownAndUserControlsReachTheirHandlers) {
  ProbeService service;
  service.CreateControlEvents();
  service.HandleControl(platform::kControlShutdown);
  EXPECT_TRUE(service.signalled(ProbeService::kShutdownEvent));
  service.HandleControl(200);
  service.HandleControl(200);
  service.HandleControl(201);
  EXPECT_EQ((std::vector<std::uint32_t>{200, 201}), service.userControls);
}

TEST(ServiceStatusReports, SettledStatesCarryNoCheckpointAndExitCodesOnlyWhenStopped) {
  RecordingTap tap;
  ProbeService service;
  service.SetStatus(platform::kServiceRunning, 7, 900, 3, 5, 6);
  service.SetStatus(platform::kServiceStopped, 7, 900, 0, 5, 6);
  const auto sent = tap.statuses();
  ASSERT_EQ(2u, sent.size());
  EXPECT_EQ("4/0/0/3", describe(sent[0]));
  EXPECT_EQ(0u, sent[0].win32ExitCode);
  EXPECT_EQ(0u, sent[0].serviceSpecificExitCode);
  EXPECT_EQ(platform::kServiceWin32OwnProcess, sent[0].serviceType);
  EXPECT_EQ("1/0/0/0", describe(sent[1]));
  EXPECT_EQ(5u, sent[1].win32ExitCode);
  EXPECT_EQ(6u, sent[1].serviceSpecificExitCode);
}

TEST(ServiceStatusReports, PendingWithoutHintIsReportedAndStillSent) {
  RecordingTap tap;
  ProbeService service;
  service.SetStatus(platform::kServiceStopPending, 1, 0, CService::kKeep, 0, 0);
  const auto sent = tap.statuses();
  ASSERT_EQ(1u, sent.size());
  EXPECT_EQ("3/1/0/0", describe(sent[0]));
  const std::string complaint = "CService::SetStatus: Pending statuses require a hint and checkpoint\n";
  const auto debug = tap.debug();
  ASSERT_FALSE(debug.empty());
  EXPECT_EQ(complaint, debug[0]);
  const auto events = tap.events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(complaint, events[0].text);
  EXPECT_EQ(platform::EventType::Error, events[0].type);
}

TEST(ServiceStatusReports, KeepValuesLeaveStoredFieldsAlone) {
  RecordingTap tap;
  ProbeService service;
  service.SetStatus(platform::kServiceStartPending, 3, 4000, 1, 0, 0);
  tap.clear();
  service.SetStatus(platform::kServicePausePending, CService::kKeep, CService::kKeep,
                    CService::kKeep, 0, 0);
  ASSERT_EQ(1u, tap.statuses().size());
  EXPECT_EQ("6/3/4000/1", describe(tap.statuses()[0]));
  for (const std::string& line : tap.debug()) {
    EXPECT_EQ(std::string::npos, line.find("Pending statuses")) << line;
  }
  EXPECT_EQ(platform::kServicePausePending, service.GetStatus());
}

TEST(ServiceStatusReports, UnregisteredServiceReportsEachFailedReport) {
  RecordingTap tap;
  ProbeService service;
  service.SetStatus(platform::kServiceRunning, 0, 0, 3, 0, 0);
  const auto debug = tap.debug();
  ASSERT_EQ(1u, debug.size());
  EXPECT_EQ(0u, debug[0].rfind("SetServiceStatus failed: ", 0)) << debug[0];
}

TEST(FailureReports, TextsForKnownUnknownAndNoError) {
  RecordingTap tap;
  ProbeService service;
  const std::string accessDenied = *platform::systemErrorText(platform::kErrorAccessDenied);

  EXPECT_EQ(5u, service.ReportFailure("OpenThing", true, platform::kErrorAccessDenied));
  EXPECT_EQ(0x2000FFFFu, service.ReportFailure("Strange", false, 0x2000FFFFu));
  EXPECT_EQ(0u, service.ReportFailure("Just this", true, 0));

  const auto debug = tap.debug();
  ASSERT_EQ(3u, debug.size());
  EXPECT_EQ("OpenThing failed: " + accessDenied, debug[0]);
  EXPECT_EQ("Strange failed: Unknown error 536936447", debug[1]);
  EXPECT_EQ("Just this\n", debug[2]);

  // Only the flagged reports reach the event log, as errors under the
  // service's source.
  const auto events = tap.events();
  ASSERT_EQ(2u, events.size());
  EXPECT_EQ("OpenThing failed: " + accessDenied, events[0].text);
  EXPECT_EQ("Just this\n", events[1].text);
  EXPECT_EQ("probe", events[0].source);
  EXPECT_EQ(platform::EventType::Error, events[1].type);
}

TEST(FailureReports, OverlongTextIsCutToTheBuffer) {
  RecordingTap tap;
  ProbeService service;
  const std::string operation(5000, 'x');
  service.ReportFailure(operation.c_str(), false, 0x2000FFFFu);
  service.ReportFailure(operation.c_str(), false, 0);
  const auto debug = tap.debug();
  ASSERT_EQ(2u, debug.size());
  for (const std::string& message : debug) {
    EXPECT_EQ(CService::kFailureMessageCapacity - 1, message.size());
    EXPECT_EQ(std::string(message.size(), 'x'), message);
  }
}

TEST(FailureReports, FormatErrorText) {
  EXPECT_EQ("", CService::FormatErrorText(0));
  EXPECT_EQ("536936447", CService::FormatErrorText(0x2000FFFFu));
  // The decimal fallback is signed, as "%d" prints it.
  EXPECT_EQ("-536866252", CService::FormatErrorText(0xE0001234u));
  EXPECT_EQ(*platform::systemErrorText(platform::kErrorInvalidParameter),
            CService::FormatErrorText(platform::kErrorInvalidParameter));
}

// A control event that could not be created makes the worker's wait fail.
// The failure is reported once and the controls that do exist still work.
class ServiceWithoutPauseEvent : public ProbeService {
 public:
  void CreateControlEvents() override {
    CService::CreateControlEvents();
    platform::closeEvent(m_hControlEvents[kPauseEvent]);
    m_hControlEvents[kPauseEvent] = nullptr;
  }
  static unsigned worker(void* self) {
    return static_cast<ServiceWithoutPauseEvent*>(self)->WaitForControls();
  }
};

TEST(WorkerThread, FailedWaitIsReportedAndStopStillArrives) {
  RecordingTap tap;
  ServiceWithoutPauseEvent service;
  service.CreateControlEvents();
  platform::ThreadHandle worker = platform::beginThread(&ServiceWithoutPauseEvent::worker, &service);
  ASSERT_NE(nullptr, worker);

  service.HandleControl(platform::kControlStop);
  EXPECT_EQ(0u, platform::waitForThread(worker, 10000)) << "worker did not end after stop";
  platform::closeThread(worker);
  EXPECT_EQ(1, service.stops);

  int waitReports = 0;
  for (const std::string& line : tap.debug()) {
    if (line.rfind("WaitForMultipleObjects failed", 0) == 0) ++waitReports;
  }
  EXPECT_EQ(1, waitReports);
}

TEST(WorkerThread, PauseAndContinueRunInTurnThenShutdownEndsTheWorker) {
  ProbeService service;
  service.CreateControlEvents();
  struct Runner {
    static unsigned run(void* self) { return static_cast<ProbeService*>(self)->WaitForControls(); }
  };
  platform::ThreadHandle worker = platform::beginThread(&Runner::run, &service);
  ASSERT_NE(nullptr, worker);
  service.setState(platform::kServiceRunning);
  service.HandleControl(platform::kControlPause);
  service.setState(platform::kServicePaused);
  service.HandleControl(platform::kControlContinue);
  service.HandleControl(platform::kControlShutdown);
  EXPECT_EQ(0u, platform::waitForThread(worker, 10000));
  platform::closeThread(worker);
  EXPECT_EQ(0, service.stops);
  // A wait takes the lowest signalled index, so even controls that pile up
  // are acted on in the order pause, continue, shutdown.
  EXPECT_EQ(1, service.pauses);
  EXPECT_EQ(1, service.continues);
}

}  // namespace
