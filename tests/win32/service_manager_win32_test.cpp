// The service manager layer against the system's own manager: the test
// binary installs itself as a demand-start service, drives it through its
// states and removes it again.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/command_line.h"
#include "platform/error.h"
#include "platform/process.h"
#include "platform/service_manager.h"
#include "platform/sync.h"
#include "recording_tap.h"
#include "service_host.h"

namespace {

using platform::ScHandle;
using platform::ServiceStatus;

// Reported as the stopped service's exit codes, so the test can tell the
// host's own final report from a status the manager made up.
constexpr std::uint32_t kErrorServiceSpecificError = 1066;
constexpr std::uint32_t kHostExitMarker = 4242;

// ---- The service host ----------------------------------------------------
//
//   --service-host w32-basic <service name> <report file>
//
// Writes the arguments its service main received to the report file, one
// per line, then runs until stopped, accepting stop and pause/continue.

struct BasicHost {
  std::string serviceName;
  std::string reportFile;
  platform::ServiceStatusHandle handle = nullptr;
  platform::EventHandle stopEvent = nullptr;
  platform::Lock lock;
  ServiceStatus status;
};

BasicHost* g_host = nullptr;

void reportState(std::uint32_t state) {
  platform::LockGuard guard(g_host->lock);
  ServiceStatus& status = g_host->status;
  status.currentState = state;
  const bool settled =
      state == platform::kServiceRunning || state == platform::kServicePaused;
  status.controlsAccepted =
      settled ? platform::kAcceptStop | platform::kAcceptPauseContinue : 0;
  status.checkPoint = settled || state == platform::kServiceStopped ? 0 : 1;
  status.waitHint = settled || state == platform::kServiceStopped ? 0 : 5000;
  platform::setServiceStatus(g_host->handle, status);
}

void basicHandler(std::uint32_t control) {
  switch (control) {
    case platform::kControlStop:
      reportState(platform::kServiceStopPending);
      platform::setEvent(g_host->stopEvent);
      break;
    case platform::kControlPause:
      reportState(platform::kServicePaused);
      break;
    case platform::kControlContinue:
      reportState(platform::kServiceRunning);
      break;
    default:
      reportState(g_host->status.currentState);
      break;
  }
}

void basicServiceMain(std::uint32_t argc, char** argv) {
  g_host->handle = platform::registerServiceCtrlHandler(g_host->serviceName, basicHandler);
  if (g_host->handle == nullptr) return;
  g_host->status.serviceType = platform::kServiceWin32OwnProcess;
  reportState(platform::kServiceStartPending);

  {
    std::ofstream report(g_host->reportFile, std::ios::binary);
    for (std::uint32_t i = 0; i < argc; ++i) report << argv[i] << "\n";
  }

  reportState(platform::kServiceRunning);
  // Bounded, so that a host whose test died still ends.
  platform::waitForEvent(g_host->stopEvent, 60000);
  g_host->status.win32ExitCode = kErrorServiceSpecificError;
  g_host->status.serviceSpecificExitCode = kHostExitMarker;
  reportState(platform::kServiceStopped);
}

int basicHostMain(int argc, char** argv) {
  if (argc < 5) return 2;
  BasicHost host;
  host.serviceName = argv[3];
  host.reportFile = argv[4];
  host.stopEvent = platform::createEvent(true, false);
  g_host = &host;
  const platform::ServiceTableEntry table[] = {
      {host.serviceName.c_str(), basicServiceMain},
      {nullptr, nullptr},
  };
  const bool ran = platform::startServiceCtrlDispatcher(table);
  g_host = nullptr;
  platform::closeEvent(host.stopEvent);
  return ran ? 0 : 3;
}

VORND_SERVICE_HOST("w32-basic", basicHostMain);

// ---- Test side ------------------------------------------------------------

std::string uniqueServiceName(const std::string& purpose) {
  return "vornd_w32_" + purpose + "_" + std::to_string(platform::currentProcessId());
}

// Polls until the service reaches a state or the time is up; gives the last
// status seen.
ServiceStatus waitForState(ScHandle service, std::uint32_t state, int seconds = 30) {
  ServiceStatus status;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (platform::queryServiceStatus(service, status) && status.currentState != state &&
         std::chrono::steady_clock::now() < deadline) {
    platform::sleepMs(100);
  }
  return status;
}

// Every service a test installs is removed at the end, stopped first when it
// runs: Wine would start a leftover again with every session.
class InstalledService {
 public:
  explicit InstalledService(std::string name) : m_name(std::move(name)) {}
  ~InstalledService() {
    ScHandle manager = platform::openSCManager(platform::kScManagerAllAccess);
    if (manager == nullptr) return;
    ScHandle service = platform::openService(manager, m_name, platform::kServiceAllAccess);
    if (service != nullptr) {
      ServiceStatus status;
      if (platform::queryServiceStatus(service, status) &&
          status.currentState != platform::kServiceStopped) {
        platform::controlService(service, platform::kControlStop, status);
        waitForState(service, platform::kServiceStopped, 20);
      }
      platform::deleteService(service);
      platform::closeServiceHandle(service);
    }
    platform::closeServiceHandle(manager);
  }
  InstalledService(const InstalledService&) = delete;
  InstalledService& operator=(const InstalledService&) = delete;

  const std::string& name() const { return m_name; }

 private:
  std::string m_name;
};

class ScopedScHandle {
 public:
  explicit ScopedScHandle(ScHandle handle = nullptr) : m_handle(handle) {}
  ~ScopedScHandle() { reset(); }
  ScopedScHandle(const ScopedScHandle&) = delete;
  ScopedScHandle& operator=(const ScopedScHandle&) = delete;

  ScHandle get() const { return m_handle; }
  void reset(ScHandle handle = nullptr) {
    if (m_handle != nullptr) platform::closeServiceHandle(m_handle);
    m_handle = handle;
  }

 private:
  ScHandle m_handle;
};

std::vector<std::string> readLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class Win32ServiceManager : public ::testing::Test {
 protected:
  void SetUp() override {
    m_manager.reset(platform::openSCManager(platform::kScManagerAllAccess));
    ASSERT_NE(m_manager.get(), nullptr) << "error " << platform::lastError();
  }

  ScHandle create(const std::string& name, const std::string& commandLine) {
    return platform::createService(m_manager.get(), name, name + " (test)",
                                   platform::kServiceAllAccess,
                                   platform::kServiceWin32OwnProcess,
                                   platform::kServiceDemandStart, platform::kServiceErrorNormal,
                                   commandLine);
  }

  ScopedScHandle m_manager;
};

TEST_F(Win32ServiceManager, HostRunsThroughItsStatesAndIsRemoved) {
  InstalledService installed(uniqueServiceName("basic"));
  const std::string reportFile =
      (std::filesystem::temp_directory_path() / (installed.name() + ".args")).string();
  std::remove(reportFile.c_str());

  ScopedScHandle service(create(
      installed.name(),
      testing_support::serviceHostCommandLine(
          "w32-basic", installed.name() + " " + platform::quoteArgument(reportFile))));
  ASSERT_NE(service.get(), nullptr) << "error " << platform::lastError();

  ASSERT_TRUE(platform::startService(service.get(), {"alpha", "two words"}))
      << "error " << platform::lastError();
  ServiceStatus status = waitForState(service.get(), platform::kServiceRunning);
  ASSERT_EQ(status.currentState, platform::kServiceRunning);
  EXPECT_EQ(status.serviceType, platform::kServiceWin32OwnProcess);
  EXPECT_EQ(status.controlsAccepted, platform::kAcceptStop | platform::kAcceptPauseContinue);

  // The service main sees its name first, then the start arguments intact.
  EXPECT_EQ(readLines(reportFile),
            (std::vector<std::string>{installed.name(), "alpha", "two words"}));
  std::remove(reportFile.c_str());

  platform::setLastError(0);
  EXPECT_FALSE(platform::startService(service.get(), {}));
  EXPECT_EQ(platform::lastError(), platform::kErrorServiceAlreadyRunning);

  ASSERT_TRUE(platform::controlService(service.get(), platform::kControlPause, status))
      << "error " << platform::lastError();
  EXPECT_EQ(waitForState(service.get(), platform::kServicePaused).currentState,
            platform::kServicePaused);
  ASSERT_TRUE(platform::controlService(service.get(), platform::kControlInterrogate, status));
  EXPECT_EQ(status.currentState, platform::kServicePaused);
  ASSERT_TRUE(platform::controlService(service.get(), platform::kControlContinue, status));
  EXPECT_EQ(waitForState(service.get(), platform::kServiceRunning).currentState,
            platform::kServiceRunning);

  ASSERT_TRUE(platform::controlService(service.get(), platform::kControlStop, status))
      << "error " << platform::lastError();
  EXPECT_TRUE(status.currentState == platform::kServiceStopPending ||
              status.currentState == platform::kServiceStopped)
      << testing_support::describe(status);
  status = waitForState(service.get(), platform::kServiceStopped);
  ASSERT_EQ(status.currentState, platform::kServiceStopped);
  EXPECT_EQ(status.win32ExitCode, kErrorServiceSpecificError);
  EXPECT_EQ(status.serviceSpecificExitCode, kHostExitMarker);
  EXPECT_EQ(status.controlsAccepted, 0u);

  // A stopped service takes no controls but still reports its status.
  platform::setLastError(0);
  EXPECT_FALSE(platform::controlService(service.get(), platform::kControlStop, status));
  EXPECT_EQ(platform::lastError(), platform::kErrorServiceNotActive);

  EXPECT_TRUE(platform::deleteService(service.get())) << "error " << platform::lastError();
  service.reset();
  // The entry goes once the last handle is closed and the host process has
  // gone, which may be a moment after its final report.
  ScopedScHandle reopened;
  for (int tries = 0; tries < 100; ++tries) {
    platform::setLastError(0);
    reopened.reset(
        platform::openService(m_manager.get(), installed.name(), platform::kServiceAllAccess));
    if (reopened.get() == nullptr) break;
    reopened.reset();
    platform::sleepMs(100);
  }
  EXPECT_EQ(reopened.get(), nullptr);
  EXPECT_EQ(platform::lastError(), platform::kErrorServiceDoesNotExist);
}

TEST_F(Win32ServiceManager, AdminCallsFailWithTheSystemsCodes) {
  InstalledService installed(uniqueServiceName("admin"));
  const std::string commandLine = testing_support::serviceHostCommandLine("w32-basic", "");

  platform::setLastError(0);
  EXPECT_EQ(platform::openService(m_manager.get(), installed.name(), platform::kServiceAllAccess),
            nullptr);
  EXPECT_EQ(platform::lastError(), platform::kErrorServiceDoesNotExist);

  ScopedScHandle service(create(installed.name(), commandLine));
  ASSERT_NE(service.get(), nullptr) << "error " << platform::lastError();

  platform::setLastError(0);
  ScopedScHandle duplicate(create(installed.name(), commandLine));
  EXPECT_EQ(duplicate.get(), nullptr);
  EXPECT_EQ(platform::lastError(), platform::kErrorServiceExists);

  ServiceStatus status;
  ASSERT_TRUE(platform::queryServiceStatus(service.get(), status));
  EXPECT_EQ(status.currentState, platform::kServiceStopped);
  EXPECT_EQ(status.serviceType, platform::kServiceWin32OwnProcess);

  platform::setLastError(0);
  EXPECT_FALSE(platform::controlService(service.get(), platform::kControlStop, status));
  EXPECT_EQ(platform::lastError(), platform::kErrorServiceNotActive);

  // A second handle sees the deletion as pending while the first is open.
  ScopedScHandle second(
      platform::openService(m_manager.get(), installed.name(), platform::kServiceAllAccess));
  ASSERT_NE(second.get(), nullptr);
  EXPECT_TRUE(platform::deleteService(service.get()));
  platform::setLastError(0);
  EXPECT_FALSE(platform::deleteService(second.get()));
  EXPECT_EQ(platform::lastError(), platform::kErrorServiceMarkedForDelete);
}

TEST_F(Win32ServiceManager, NullHandlesFailCleanly) {
  ServiceStatus status;
  platform::setLastError(0);
  EXPECT_FALSE(platform::queryServiceStatus(nullptr, status));
  EXPECT_EQ(platform::lastError(), platform::kErrorInvalidHandle);
  platform::setLastError(0);
  EXPECT_FALSE(platform::closeServiceHandle(nullptr));
  EXPECT_EQ(platform::lastError(), platform::kErrorInvalidHandle);
}

TEST(Win32ServiceSide, OutsideTheManagerEveryServiceCallFails) {
  auto ignoredMain = [](std::uint32_t, char**) {};
  const platform::ServiceTableEntry table[] = {{"vornd_w32_none", ignoredMain},
                                               {nullptr, nullptr}};
  platform::setLastError(0);
  EXPECT_FALSE(platform::startServiceCtrlDispatcher(table));
  EXPECT_EQ(platform::lastError(), platform::kErrorFailedServiceControllerConnect);

  platform::setLastError(0);
  EXPECT_EQ(platform::registerServiceCtrlHandler("vornd_w32_none", [](std::uint32_t) {}),
            nullptr);
  EXPECT_EQ(platform::lastError(), platform::kErrorFailedServiceControllerConnect);

  // An own-process service has exactly one entry.
  const platform::ServiceTableEntry twoServices[] = {{"one", ignoredMain},
                                                     {"two", ignoredMain},
                                                     {nullptr, nullptr}};
  platform::setLastError(0);
  EXPECT_FALSE(platform::startServiceCtrlDispatcher(twoServices));
  EXPECT_EQ(platform::lastError(), platform::kErrorInvalidParameter);
}

TEST(Win32ServiceSide, StatusReportWithoutHandleFailsAfterTheTapSawIt) {
  testing_support::RecordingTap tap;
  ServiceStatus status;
  status.serviceType = platform::kServiceWin32OwnProcess;
  status.currentState = platform::kServiceStartPending;
  status.checkPoint = 3;
  status.waitHint = 2000;

  platform::setLastError(0);
  EXPECT_FALSE(platform::setServiceStatus(nullptr, status));
  EXPECT_EQ(platform::lastError(), platform::kErrorInvalidHandle);
  EXPECT_EQ(testing_support::describeAll(tap.statuses()),
            std::vector<std::string>{testing_support::describe(status)});
}

}  // namespace
