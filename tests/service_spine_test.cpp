// The daemon's whole life under the platform's real service manager: the
// test binary, started as a service, runs a CVornD whose start-up waits at
// a gate, so that each status of the hand-shake can be seen from outside.
// Every status the daemon reports is also written to a trace file by the
// host, so the exact sequence is checked, not only the states a poll
// happens to catch.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "free_port.h"
#include "daemon/vornd.h"
#include "platform/command_line.h"
#include "platform/error.h"
#include "platform/process.h"
#include "platform/service_manager.h"
#include "platform/sync.h"
#include "platform/tap.h"
#include "recording_tap.h"
#include "service_host.h"
#include "temp_dir.h"

using testing_support::describe;
using testing_support::fileExists;
using testing_support::readFile;

namespace {

// ---- The service process ------------------------------------------------

class TraceTap : public platform::Tap {
 public:
  explicit TraceTap(std::string path) : m_path(std::move(path)) {}
  void onServiceStatus(const platform::ServiceStatus& status) override {
    std::ofstream(m_path, std::ios::app) << describe(status) << "\n";
  }

 private:
  std::string m_path;
};

class GatedDaemon : public CVornD {
 public:
  GatedDaemon(const std::string& name, std::string gate)
      : CVornD(name, name, platform::kServiceWin32OwnProcess), m_gate(std::move(gate)) {
    m_config.SockPort = testing_support::freePort();  // these tests make no connections
  }
  void Init() override {
    for (int i = 0; i < 600 && !fileExists(m_gate); ++i) platform::sleepMs(100);
    CVornD::Init();
  }

 private:
  std::string m_gate;
};

int spineHostMain(int argc, char** argv) {
  if (argc < 4) return 2;
  const std::string dir = argv[3];
  TraceTap tap(dir + "/trace");
  platform::setTap(&tap);
  {
    GatedDaemon daemon(argv[0], dir + "/go");
    const platform::ServiceTableEntry table[] = {{"", DaemonServiceMain}, {nullptr, nullptr}};
    const bool dispatched = platform::startServiceCtrlDispatcher(table);
    std::ofstream(dir + "/exited", std::ios::binary) << (dispatched ? "dispatched" : "refused") << "\n";
  }
  platform::setTap(nullptr);
  return 0;
}

VORND_SERVICE_HOST("vornd-spine", spineHostMain);

// ---- The test side --------------------------------------------------------

// A service installed for one test and removed afterwards, whatever
// happened.
class InstalledService {
 public:
  InstalledService(const std::string& name, const std::string& commandLine) {
    m_manager = platform::openSCManager(platform::kScManagerAllAccess);
    if (m_manager == nullptr) {
      m_error = "OpenSCManager " + std::to_string(platform::lastError());
      return;
    }
    m_service = platform::createService(m_manager, name, name + " (test)",
                                        platform::kServiceAllAccess,
                                        platform::kServiceWin32OwnProcess,
                                        platform::kServiceDemandStart,
                                        platform::kServiceErrorNormal, commandLine);
    if (m_service == nullptr) m_error = "CreateService " + std::to_string(platform::lastError());
  }
  ~InstalledService() {
    if (m_service != nullptr) {
      platform::ServiceStatus status;
      if (platform::queryServiceStatus(m_service, status) &&
          status.currentState != platform::kServiceStopped) {
        platform::controlService(m_service, platform::kControlStop, status);
        waitFor(platform::kServiceStopped, 20000);
      }
      platform::deleteService(m_service);
      platform::closeServiceHandle(m_service);
    }
    if (m_manager != nullptr) platform::closeServiceHandle(m_manager);
  }

  platform::ScHandle handle() const { return m_service; }
  const std::string& error() const { return m_error; }

  platform::ServiceStatus query() const {
    platform::ServiceStatus status;
    if (!platform::queryServiceStatus(m_service, status)) status.currentState = 0;
    return status;
  }

  // Polls until a status satisfies the test; the last one seen otherwise.
  template <typename Test>
  platform::ServiceStatus waitUntil(Test test, int timeoutMs) const {
    platform::ServiceStatus status = query();
    for (int waited = 0; !test(status) && waited < timeoutMs; waited += 20) {
      platform::sleepMs(20);
      status = query();
    }
    return status;
  }
  platform::ServiceStatus waitFor(std::uint32_t state, int timeoutMs) const {
    return waitUntil([state](const platform::ServiceStatus& s) { return s.currentState == state; },
                     timeoutMs);
  }

 private:
  platform::ScHandle m_manager = nullptr;
  platform::ScHandle m_service = nullptr;
  std::string m_error;
};

std::string uniqueServiceName(const char* stem) {
  static int counter = 0;
  return std::string(stem) + std::to_string(platform::currentProcessId()) + "x" +
         std::to_string(counter++);
}

std::vector<std::string> traceLines(const std::string& path) {
  return testing_support::linesOf(readFile(path));
}

bool waitForFile(const std::string& path, int timeoutMs) {
  for (int waited = 0; !fileExists(path) && waited < timeoutMs; waited += 50) platform::sleepMs(50);
  return fileExists(path);
}

class ServiceSpine : public ::testing::Test {
 protected:
  testing_support::ScopedStateRoot m_root;
  testing_support::TemporaryDirectory m_dir;

  std::string hostCommandLine() const {
    return testing_support::serviceHostCommandLine("vornd-spine",
                                                   platform::quoteArgument(m_dir.path().string()));
  }
  std::string hostOutput(const std::string& name) const {
    return "service output:\n" + readFile(m_root.path() + "/log/" + name + ".out");
  }
};

TEST_F(ServiceSpine, StartPauseContinueStopUnderTheServiceManager) {
  const std::string name = uniqueServiceName("vorndspine");
  InstalledService service(name, hostCommandLine());
  ASSERT_EQ("", service.error());

  ASSERT_TRUE(platform::startService(service.handle(), {})) << platform::lastError();
  // The daemon is held at its start-up gate: start pending as registered.
  platform::ServiceStatus status = service.waitUntil(
      [](const platform::ServiceStatus& s) { return s.checkPoint == 1 && s.waitHint == 5000; },
      20000);
  EXPECT_EQ("2/1/5000/0", describe(status)) << hostOutput(name);

  std::ofstream(m_dir.file("go")) << "go\n";
  status = service.waitFor(platform::kServiceRunning, 20000);
  ASSERT_EQ("4/0/0/3", describe(status)) << hostOutput(name);
  EXPECT_EQ(platform::kServiceWin32OwnProcess, status.serviceType);

  ASSERT_TRUE(platform::controlService(service.handle(), platform::kControlPause, status));
  EXPECT_EQ("7/0/0/3", describe(service.waitFor(platform::kServicePaused, 20000)));
  ASSERT_TRUE(platform::controlService(service.handle(), platform::kControlContinue, status));
  EXPECT_EQ("4/0/0/3", describe(service.waitFor(platform::kServiceRunning, 20000)));
  ASSERT_TRUE(platform::controlService(service.handle(), platform::kControlStop, status));
  status = service.waitFor(platform::kServiceStopped, 20000);
  EXPECT_EQ(platform::kServiceStopped, status.currentState);
  EXPECT_EQ(0u, status.win32ExitCode);

  ASSERT_TRUE(waitForFile(m_dir.file("exited"), 20000)) << hostOutput(name);
  EXPECT_EQ("dispatched\n", readFile(m_dir.file("exited")));
  EXPECT_EQ((std::vector<std::string>{"2/1/5000/0", "4/0/0/3", "6/1/6000/3", "7/0/0/3",
                                      "5/1/6000/3", "4/0/0/3", "3/1/10000/3", "3/2/5000/3",
                                      "1/0/0/0"}),
            traceLines(m_dir.file("trace")));
}

TEST_F(ServiceSpine, StopWhilePausedEndsTheServiceWithoutAContinue) {
  const std::string name = uniqueServiceName("vorndpaused");
  InstalledService service(name, hostCommandLine());
  ASSERT_EQ("", service.error());
  std::ofstream(m_dir.file("go")) << "go\n";

  ASSERT_TRUE(platform::startService(service.handle(), {})) << platform::lastError();
  ASSERT_EQ(platform::kServiceRunning, service.waitFor(platform::kServiceRunning, 20000).currentState)
      << hostOutput(name);
  platform::ServiceStatus status;
  ASSERT_TRUE(platform::controlService(service.handle(), platform::kControlPause, status));
  ASSERT_EQ(platform::kServicePaused, service.waitFor(platform::kServicePaused, 20000).currentState);
  ASSERT_TRUE(platform::controlService(service.handle(), platform::kControlStop, status));
  EXPECT_EQ(platform::kServiceStopped, service.waitFor(platform::kServiceStopped, 20000).currentState);
  ASSERT_TRUE(waitForFile(m_dir.file("exited"), 20000)) << hostOutput(name);

  EXPECT_EQ((std::vector<std::string>{"2/1/5000/0", "4/0/0/3", "6/1/6000/3", "7/0/0/3",
                                      "3/1/10000/3", "3/2/5000/3", "1/0/0/0"}),
            traceLines(m_dir.file("trace")));
}

TEST(ServiceDispatcher, RefusesAProcessTheServiceManagerDidNotStart) {
  const platform::ServiceTableEntry table[] = {{"", DaemonServiceMain}, {nullptr, nullptr}};
  EXPECT_FALSE(platform::startServiceCtrlDispatcher(table));
  EXPECT_EQ(platform::kErrorFailedServiceControllerConnect, platform::lastError());
}

}  // namespace
