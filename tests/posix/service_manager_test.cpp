// The POSIX service manager against real service processes: the test
// binary itself, started as a service host.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/environment.h"
#include "platform/error.h"
#include "platform/posix/service_control_channel.h"
#include "platform/posix/service_files.h"
#include "platform/posix/unix_socket_path.h"
#include "platform/posix/state_root.h"
#include "platform/registry.h"
#include "platform/service_manager.h"
#include "platform/tap.h"
#include "posix/stopped_process.h"
#include "service_host.h"
#include "temp_dir.h"

namespace {

using namespace platform;
using testing_support::fileExists;
using testing_support::readFile;

// ---- The service host ---------------------------------------------------------
//
// Command line: <binary> --service-host sm-basic <service name>. Before the
// dispatcher runs it writes <root>/<name>.host (pid, descriptors, standard
// input, environment); the service main writes <root>/<name>.args; a tap
// appends every status report to <root>/<name>.taps. The start arguments
// choose the behaviour:
//   stop-only     accepts stop but not pause
//   stay-pending  never leaves start pending
//   die           reports running, then ends without reporting stopped
// A user control (128..255) is reported back as the check point; the
// slow one (kSlowControl) first writes <root>/<name>.busy and then takes two
// seconds before it answers.

constexpr std::uint32_t kSlowControl = 250;

std::string hostRoot() {
  const char* root = std::getenv("VORND_ROOT");
  return root != nullptr ? root : ".";
}

void writeHostFile(const std::string& name) {
  // Listed before the report file is open.
  std::vector<int> fds;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      int fd = std::atoi(entry->d_name);
      if (fd != dirfd(dir)) fds.push_back(fd);
    }
    closedir(dir);
  }
  std::sort(fds.begin(), fds.end());
  std::ofstream out(hostRoot() + "/" + name + ".host.tmp");
  out << "pid " << getpid() << "\n";
  out << "fds";
  for (int fd : fds) out << " " << fd;
  out << "\n";
  char target[PATH_MAX] = {};
  if (readlink("/proc/self/fd/0", target, sizeof target - 1) > 0) out << "stdin " << target << "\n";
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) entries.emplace_back(*entry);
  std::sort(entries.begin(), entries.end());
  for (const std::string& entry : entries) out << "env " << entry << "\n";
  out.close();
  std::rename((hostRoot() + "/" + name + ".host.tmp").c_str(),
              (hostRoot() + "/" + name + ".host").c_str());
}

class FileTap : public Tap {
 public:
  explicit FileTap(std::string path) : m_path(std::move(path)) {}
  void onServiceStatus(const ServiceStatus& status) override {
    std::ofstream out(m_path, std::ios::app);
    out << status.currentState << ":" << status.checkPoint << " ";
  }

 private:
  std::string m_path;
};

struct HostState {
  std::mutex mutex;
  std::condition_variable changed;
  bool stopped = false;
  std::string name;
  ServiceStatusHandle handle = nullptr;
  ServiceStatus status;
};

HostState& host() {
  static HostState state;
  return state;
}

void report(std::uint32_t state, std::uint32_t checkPoint = 0) {
  host().status.currentState = state;
  host().status.checkPoint = checkPoint;
  setServiceStatus(host().handle, host().status);
}

void hostHandler(std::uint32_t control) {
  std::lock_guard<std::mutex> guard(host().mutex);
  switch (control) {
    case kControlStop:
      host().status.controlsAccepted = 0;
      report(kServiceStopped);
      host().stopped = true;
      host().changed.notify_all();
      break;
    case kControlPause: report(kServicePaused); break;
    case kControlContinue: report(kServiceRunning); break;
    case kControlInterrogate: break;
    case kSlowControl:
      std::ofstream(hostRoot() + "/" + host().name + ".busy") << "busy\n";
      std::this_thread::sleep_for(std::chrono::seconds(2));
      report(host().status.currentState, control);
      break;
    // Seen only if a shutdown got through; shows as check point 5.
    case kControlShutdown: report(host().status.currentState, kControlShutdown); break;
    default:
      if (control >= 128) report(host().status.currentState, control);
  }
}

void hostServiceMain(std::uint32_t argc, char** argv) {
  std::vector<std::string> arguments(argv, argv + argc);
  {
    std::ofstream out(hostRoot() + "/" + arguments[0] + ".args");
    for (std::size_t i = 0; i < arguments.size(); ++i) out << (i > 0 ? "|" : "") << arguments[i];
  }
  auto has = [&](const char* word) {
    return std::find(arguments.begin() + 1, arguments.end(), word) != arguments.end();
  };
  std::unique_lock<std::mutex> lock(host().mutex);
  host().name = arguments[0];
  host().handle = registerServiceCtrlHandler(arguments[0], hostHandler);
  host().status.serviceType = kServiceWin32OwnProcess;
  report(kServiceStartPending, 1);
  if (has("stay-pending")) {
    host().changed.wait(lock, [] { return false; });
  }
  host().status.controlsAccepted =
      has("stop-only") ? kAcceptStop : kAcceptStop | kAcceptPauseContinue;
  report(kServiceRunning);
  if (has("die")) {
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::fflush(stdout);
    _exit(3);
  }
  host().changed.wait(lock, [] { return host().stopped; });
}

int basicHostMain(int argc, char** argv) {
  const std::string name = argc > 3 ? argv[3] : "unnamed";
  writeHostFile(name);
  std::printf("host %s up\n", name.c_str());
  std::fflush(stdout);
  static FileTap tap(hostRoot() + "/" + name + ".taps");
  setTap(&tap);
  const ServiceTableEntry table[] = {{name.c_str(), hostServiceMain}, {nullptr, nullptr}};
  if (!startServiceCtrlDispatcher(table)) {
    std::printf("dispatcher failed: %u\n", lastError());
    return 1;
  }
  std::fprintf(stderr, "host %s done\n", name.c_str());
  return 0;
}

// Never reaches its dispatcher.
int sleepingHostMain(int argc, char** argv) {
  writeHostFile(argc > 3 ? argv[3] : "unnamed");
  std::this_thread::sleep_for(std::chrono::seconds(20));
  return 0;
}

int exitingHostMain(int, char**) { return 4; }

VORND_SERVICE_HOST("sm-basic", basicHostMain);
VORND_SERVICE_HOST("sm-sleep", sleepingHostMain);
VORND_SERVICE_HOST("sm-exit", exitingHostMain);

// ---- Test side ---------------------------------------------------------------------

const std::string kServicesKey = "SYSTEM\\CurrentControlSet\\Services\\";

class Handle {
 public:
  explicit Handle(ScHandle handle = nullptr) : m_handle(handle) {}
  ~Handle() {
    if (m_handle != nullptr) closeServiceHandle(m_handle);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ScHandle get() const { return m_handle; }
  explicit operator bool() const { return m_handle != nullptr; }

 private:
  ScHandle m_handle;
};

bool keyExists(const std::string& path) {
  RegKeyHandle key = nullptr;
  if (regOpenKey(localMachine(), path, kKeyRead, key) != kErrorSuccess) return false;
  regCloseKey(key);
  return true;
}

// Reaped processes leave /proc; zombies do not.
bool processGoneWithin(pid_t pid, int ms) {
  const std::string proc = "/proc/" + std::to_string(pid);
  for (int waited = 0; waited < ms; waited += 20) {
    if (!fileExists(proc)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return !fileExists(proc);
}

class ServiceManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_manager = openSCManager(kScManagerAllAccess);
    ASSERT_NE(m_manager, nullptr) << lastError();
  }

  void TearDown() override {
    // Whatever a failed test left running goes with it.
    for (const std::string& name : m_created) {
      if (pid_t pid = hostPid(name); pid > 0 && fileExists("/proc/" + std::to_string(pid))) {
        kill(pid, SIGKILL);
      }
    }
    closeServiceHandle(m_manager);
    posix::setServiceStartTimeoutForTesting(0);
  }

  // In the state root the test runs with, which may not be m_root's.
  std::string file(const std::string& name) const { return posix::stateRoot() + "/" + name; }

  ScHandle create(const std::string& name, const std::string& displayName = "",
                  const std::string& host = "sm-basic") {
    m_created.push_back(name);
    return createService(m_manager, name, displayName.empty() ? name : displayName,
                         kServiceAllAccess, kServiceWin32OwnProcess, kServiceDemandStart,
                         kServiceErrorNormal, testing_support::serviceHostCommandLine(host, name));
  }

  // For failure messages: what the service process wrote.
  std::string output(const std::string& name) const {
    return "\n--- " + name + ".out ---\n" + readFile(file("log/" + name + ".out"));
  }

  pid_t hostPid(const std::string& name) const {
    std::istringstream in(readFile(file(name + ".host")));
    std::string word;
    pid_t pid = 0;
    in >> word >> pid;
    return word == "pid" ? pid : 0;
  }

  ::testing::AssertionResult reaches(ScHandle service, std::uint32_t state, int ms = 5000) {
    ServiceStatus status;
    for (int waited = 0;; waited += 20) {
      if (!queryServiceStatus(service, status)) {
        return ::testing::AssertionFailure() << "query failed: " << lastError();
      }
      if (status.currentState == state) return ::testing::AssertionSuccess();
      if (waited >= ms) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ::testing::AssertionFailure() << "state " << status.currentState << ", wanted " << state;
  }

  testing_support::ScopedStateRoot m_root;
  ScHandle m_manager = nullptr;
  std::vector<std::string> m_created;
};

TEST_F(ServiceManagerTest, CreateRecordsTheServiceAndRefusesDuplicates) {
  Handle alpha(create("alpha", "Alpha Service"));
  ASSERT_TRUE(alpha) << lastError();

  RegKeyHandle key = nullptr;
  ASSERT_EQ(regOpenKey(localMachine(), kServicesKey + "alpha", kKeyRead, key), kErrorSuccess);
  std::uint32_t type = 0;
  char text[4096] = {};
  std::uint32_t size = sizeof text;
  ASSERT_EQ(regQueryValue(key, "ImagePath", &type, text, &size), kErrorSuccess);
  EXPECT_EQ(type, kRegExpandSz);
  EXPECT_EQ(std::string(text), testing_support::serviceHostCommandLine("sm-basic", "alpha"));
  size = sizeof text;
  ASSERT_EQ(regQueryValue(key, "DisplayName", &type, text, &size), kErrorSuccess);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(std::string(text), "Alpha Service");
  size = sizeof text;
  ASSERT_EQ(regQueryValue(key, "ObjectName", &type, text, &size), kErrorSuccess);
  EXPECT_EQ(std::string(text), "LocalSystem");
  for (auto [name, expected] : {std::pair<const char*, std::uint32_t>{"Start", kServiceDemandStart},
                                {"Type", kServiceWin32OwnProcess},
                                {"ErrorControl", kServiceErrorNormal}}) {
    std::uint32_t value = 0;
    size = sizeof value;
    ASSERT_EQ(regQueryValue(key, name, &type, &value, &size), kErrorSuccess) << name;
    EXPECT_EQ(type, kRegDword) << name;
    EXPECT_EQ(value, expected) << name;
  }
  regCloseKey(key);

  EXPECT_EQ(create("ALPHA", "Other"), nullptr);
  EXPECT_EQ(lastError(), kErrorServiceExists);
  // Display names clash with display names and with service names, in any case.
  EXPECT_EQ(create("beta", "alpha service"), nullptr);
  EXPECT_EQ(lastError(), kErrorDuplicateServiceName);
  EXPECT_EQ(create("gamma", "Alpha"), nullptr);
  EXPECT_EQ(lastError(), kErrorDuplicateServiceName);
  EXPECT_FALSE(keyExists(kServicesKey + "beta"));
  EXPECT_EQ(create("a/b"), nullptr);
  EXPECT_EQ(lastError(), 123u);

  EXPECT_EQ(openService(m_manager, "missing", kServiceAllAccess), nullptr);
  EXPECT_EQ(lastError(), kErrorServiceDoesNotExist);
  Handle opened(openService(m_manager, "ALPHA", kServiceAllAccess));
  ASSERT_TRUE(opened);
  ServiceStatus status;
  ASSERT_TRUE(queryServiceStatus(opened.get(), status));
  EXPECT_EQ(status.currentState, kServiceStopped);
  EXPECT_EQ(status.serviceType, kServiceWin32OwnProcess);
  EXPECT_EQ(status.controlsAccepted, 0u);
  EXPECT_FALSE(controlService(opened.get(), kControlInterrogate, status));
  EXPECT_EQ(lastError(), kErrorServiceNotActive);

  // Settings written before the service exists do not make it one.
  RegKeyHandle config = nullptr;
  ASSERT_EQ(regCreateKey(localMachine(), kServicesKey + "early\\Config", config), kErrorSuccess);
  regCloseKey(config);
  EXPECT_EQ(openService(m_manager, "early", kServiceAllAccess), nullptr);
  EXPECT_EQ(lastError(), kErrorServiceDoesNotExist);
  Handle early(create("early"));
  EXPECT_TRUE(early) << lastError();
  EXPECT_TRUE(keyExists(kServicesKey + "early\\Config"));

  EXPECT_EQ(createService(alpha.get(), "delta", "Delta", kServiceAllAccess,
                          kServiceWin32OwnProcess, kServiceDemandStart, kServiceErrorNormal, "x"),
            nullptr);
  EXPECT_EQ(lastError(), kErrorInvalidHandle);
}

TEST_F(ServiceManagerTest, StartsControlsAndStopsAService) {
  Handle service(create("svc"));
  ASSERT_TRUE(service) << lastError();
  // Other code in an admin process may open descriptors without
  // close-on-exec; the service must not get them.
  const int careless = open("/dev/null", O_RDONLY);
  ASSERT_GE(careless, 0);
  const bool started = startService(service.get(), {});
  close(careless);
  ASSERT_TRUE(started) << lastError() << output("svc");
  ASSERT_TRUE(reaches(service.get(), kServiceRunning)) << output("svc");

  EXPECT_FALSE(startService(service.get(), {}));
  EXPECT_EQ(lastError(), kErrorServiceAlreadyRunning);

  ServiceStatus status;
  ASSERT_TRUE(controlService(service.get(), kControlPause, status)) << lastError();
  EXPECT_EQ(status.currentState, kServicePaused);
  EXPECT_EQ(status.controlsAccepted, kAcceptStop | kAcceptPauseContinue);
  ASSERT_TRUE(controlService(service.get(), kControlContinue, status)) << lastError();
  EXPECT_EQ(status.currentState, kServiceRunning);
  ASSERT_TRUE(controlService(service.get(), kControlInterrogate, status)) << lastError();
  EXPECT_EQ(status.currentState, kServiceRunning);
  ASSERT_TRUE(controlService(service.get(), 200, status)) << lastError();
  EXPECT_EQ(status.checkPoint, 200u);
  EXPECT_FALSE(controlService(service.get(), kControlShutdown, status));
  EXPECT_EQ(lastError(), kErrorInvalidParameter);

  ASSERT_TRUE(controlService(service.get(), kControlStop, status)) << lastError();
  EXPECT_EQ(status.currentState, kServiceStopped);
  // The socket is gone before the reply says stopped.
  EXPECT_FALSE(fileExists(file("run/svc.ctl")));
  ASSERT_TRUE(queryServiceStatus(service.get(), status));
  EXPECT_EQ(status.currentState, kServiceStopped);
  EXPECT_FALSE(controlService(service.get(), kControlStop, status));
  EXPECT_EQ(lastError(), kErrorServiceNotActive);
  EXPECT_EQ(status.currentState, kServiceStopped);

  const pid_t pid = hostPid("svc");
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(processGoneWithin(pid, 3000)) << "service process not reaped";

  EXPECT_EQ(readFile(file("svc.args")), "svc");
  EXPECT_EQ(readFile(file("svc.taps")), "2:1 4:0 7:0 4:0 4:200 1:0 ");
  // Standard output and error both land in the log, and nothing else did.
  EXPECT_EQ(readFile(file("log/svc.out")), "host svc up\nhost svc done\n");

  // Only the standard three and the start channel, nothing of ours.
  const std::string hostFile = readFile(file("svc.host"));
  EXPECT_NE(hostFile.find("\nfds 0 1 2 3\n"), std::string::npos) << hostFile;
  EXPECT_NE(hostFile.find("\nstdin /dev/null\n"), std::string::npos) << hostFile;
  char root[PATH_MAX];
  ASSERT_NE(realpath(posix::stateRoot().c_str(), root), nullptr);
  const std::string expectedEnvironment =
      "env PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin\nenv VORND_ROOT=" +
      std::string(root) + "\n";
  const std::size_t firstEntry = hostFile.find("env ");
  ASSERT_NE(firstEntry, std::string::npos) << hostFile;
  EXPECT_EQ(hostFile.substr(firstEntry), expectedEnvironment);

  // Stopped means startable again.
  ASSERT_TRUE(startService(service.get(), {})) << lastError() << output("svc");
  ASSERT_TRUE(reaches(service.get(), kServiceRunning)) << output("svc");
  ASSERT_TRUE(controlService(service.get(), kControlStop, status)) << lastError();
}

TEST_F(ServiceManagerTest, ControlsFollowTheServicesStateAndAcceptedControls) {
  Handle service(create("picky"));
  ASSERT_TRUE(service);
  ASSERT_TRUE(startService(service.get(), {"stop-only", "two words"})) << lastError();
  ASSERT_TRUE(reaches(service.get(), kServiceRunning)) << output("picky");
  EXPECT_EQ(readFile(file("picky.args")), "picky|stop-only|two words");

  ServiceStatus status;
  EXPECT_FALSE(controlService(service.get(), kControlPause, status));
  EXPECT_EQ(lastError(), kErrorInvalidServiceControl);
  EXPECT_EQ(status.currentState, kServiceRunning);
  ASSERT_TRUE(controlService(service.get(), kControlStop, status)) << lastError();

  Handle pending(create("pending"));
  ASSERT_TRUE(pending);
  ASSERT_TRUE(startService(pending.get(), {"stay-pending"})) << lastError();
  ASSERT_TRUE(reaches(pending.get(), kServiceStartPending));
  EXPECT_FALSE(controlService(pending.get(), kControlStop, status));
  EXPECT_EQ(lastError(), kErrorServiceCannotAcceptCtrl);
  EXPECT_EQ(status.currentState, kServiceStartPending);
  EXPECT_FALSE(controlService(pending.get(), kControlInterrogate, status));
  EXPECT_EQ(lastError(), kErrorServiceCannotAcceptCtrl);

  // Killed without a word: it reads as stopped, and is reaped.
  const pid_t pid = hostPid("pending");
  ASSERT_GT(pid, 0);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  EXPECT_TRUE(reaches(pending.get(), kServiceStopped));
  EXPECT_TRUE(processGoneWithin(pid, 3000));
  EXPECT_FALSE(controlService(pending.get(), kControlStop, status));
  EXPECT_EQ(lastError(), kErrorServiceNotActive);
}

TEST_F(ServiceManagerTest, ServiceThatDiesReadsStoppedAndStartsAgain) {
  Handle service(create("mortal"));
  ASSERT_TRUE(service);
  ASSERT_TRUE(startService(service.get(), {"die"})) << lastError() << output("mortal");
  EXPECT_TRUE(reaches(service.get(), kServiceStopped)) << output("mortal");
  // Its socket file stays behind; the next dispatcher replaces it.
  EXPECT_TRUE(fileExists(file("run/mortal.ctl")));

  ASSERT_TRUE(startService(service.get(), {})) << lastError() << output("mortal");
  ASSERT_TRUE(reaches(service.get(), kServiceRunning)) << output("mortal");
  ServiceStatus status;
  EXPECT_TRUE(controlService(service.get(), kControlStop, status)) << lastError();
}

TEST_F(ServiceManagerTest, DeletingARunningServiceMarksItUntilItStops) {
  Handle service(create("doomed"));
  ASSERT_TRUE(service);
  RegKeyHandle config = nullptr;
  ASSERT_EQ(regCreateKey(localMachine(), kServicesKey + "doomed\\Config", config), kErrorSuccess);
  regCloseKey(config);
  ASSERT_TRUE(startService(service.get(), {})) << lastError();
  ASSERT_TRUE(reaches(service.get(), kServiceRunning)) << output("doomed");

  ASSERT_TRUE(deleteService(service.get())) << lastError();
  EXPECT_TRUE(keyExists(kServicesKey + "doomed\\Config"));
  EXPECT_FALSE(deleteService(service.get()));
  EXPECT_EQ(lastError(), kErrorServiceMarkedForDelete);
  Handle again(openService(m_manager, "doomed", kServiceAllAccess));
  ASSERT_TRUE(again) << "a marked service that runs can still be opened";
  EXPECT_FALSE(startService(again.get(), {}));
  EXPECT_EQ(lastError(), kErrorServiceMarkedForDelete);
  // A new service of that name would lose its keys when the old one stops.
  EXPECT_EQ(create("doomed", "Doomed Again"), nullptr);
  EXPECT_EQ(lastError(), kErrorServiceMarkedForDelete);
  {
    RegKeyHandle key = nullptr;
    ASSERT_EQ(regOpenKey(localMachine(), kServicesKey + "doomed", kKeyRead, key), kErrorSuccess);
    char text[256] = {};
    std::uint32_t type = 0;
    std::uint32_t size = sizeof text;
    EXPECT_EQ(regQueryValue(key, "DisplayName", &type, text, &size), kErrorSuccess);
    EXPECT_EQ(std::string(text), "doomed") << "the refused create wrote nothing";
    regCloseKey(key);
  }

  ServiceStatus status;
  ASSERT_TRUE(controlService(again.get(), kControlStop, status)) << lastError();
  EXPECT_FALSE(keyExists(kServicesKey + "doomed"));
  EXPECT_EQ(openService(m_manager, "doomed", kServiceAllAccess), nullptr);
  EXPECT_EQ(lastError(), kErrorServiceDoesNotExist);
  EXPECT_FALSE(startService(service.get(), {}));
  EXPECT_EQ(lastError(), kErrorServiceDoesNotExist);
  // Once it has gone the name is free again.
  Handle reborn(create("doomed"));
  EXPECT_TRUE(reborn) << lastError();
}

TEST_F(ServiceManagerTest, MarkedServiceGoesWhenFoundDeadAndStoppedOneAtOnce) {
  Handle service(create("crasher"));
  ASSERT_TRUE(service);
  ASSERT_TRUE(startService(service.get(), {"stay-pending"})) << lastError();
  ASSERT_TRUE(deleteService(service.get())) << lastError();
  ASSERT_TRUE(keyExists(kServicesKey + "crasher"));
  ASSERT_EQ(kill(hostPid("crasher"), SIGKILL), 0);
  EXPECT_TRUE(processGoneWithin(hostPid("crasher"), 3000));
  // Nobody was left to remove its keys; the next to look does.
  EXPECT_EQ(openService(m_manager, "crasher", kServiceAllAccess), nullptr);
  EXPECT_EQ(lastError(), kErrorServiceDoesNotExist);
  EXPECT_FALSE(keyExists(kServicesKey + "crasher"));

  Handle idle(create("idle"));
  ASSERT_TRUE(idle);
  RegKeyHandle config = nullptr;
  ASSERT_EQ(regCreateKey(localMachine(), kServicesKey + "idle\\Config", config), kErrorSuccess);
  regCloseKey(config);
  ASSERT_TRUE(deleteService(idle.get())) << lastError();
  EXPECT_FALSE(keyExists(kServicesKey + "idle"));
  EXPECT_FALSE(deleteService(idle.get()));
  EXPECT_EQ(lastError(), kErrorServiceMarkedForDelete);
}

// A service whose process is stopped by a signal cannot answer anything.
// Deleting it needs no answer: it is marked at once, and its keys go when
// its process is found gone.
TEST_F(ServiceManagerTest, HungServiceIsMarkedAtOnceAndGoesWhenItsProcessIsGone) {
  Handle service(create("hung"));
  ASSERT_TRUE(service);
  ASSERT_TRUE(startService(service.get(), {})) << lastError() << output("hung");
  ASSERT_TRUE(reaches(service.get(), kServiceRunning)) << output("hung");
  const pid_t pid = hostPid("hung");
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(testing_support::stopProcess(pid)) << "state " << testing_support::processState(pid);

  auto began = std::chrono::steady_clock::now();
  EXPECT_TRUE(deleteService(service.get())) << lastError();
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
  EXPECT_TRUE(keyExists(kServicesKey + "hung")) << "its process still holds it";
  EXPECT_FALSE(deleteService(service.get()));
  EXPECT_EQ(lastError(), kErrorServiceMarkedForDelete);
  EXPECT_EQ(create("hung"), nullptr);
  EXPECT_EQ(lastError(), kErrorServiceMarkedForDelete);
  began = std::chrono::steady_clock::now();
  Handle again(openService(m_manager, "hung", kServiceAllAccess));
  EXPECT_TRUE(again) << lastError();
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
  // Nor does a control wait out its time limit for a process that cannot
  // answer before it is let go on.
  began = std::chrono::steady_clock::now();
  ServiceStatus status;
  EXPECT_FALSE(controlService(again.get(), kControlStop, status));
  EXPECT_EQ(lastError(), kErrorServiceRequestTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));

  ASSERT_EQ(kill(pid, SIGKILL), 0);
  ASSERT_TRUE(processGoneWithin(pid, 3000));
  EXPECT_EQ(openService(m_manager, "hung", kServiceAllAccess), nullptr);
  EXPECT_EQ(lastError(), kErrorServiceDoesNotExist);
  EXPECT_FALSE(keyExists(kServicesKey + "hung"));
}

// A service stopped while it works on a request fails the exchange within a
// moment, not at the end of its time limit. A request whose sender gave up
// before the answer is not acted on once the process goes on.
TEST_F(ServiceManagerTest, ServiceStoppedWhileAnsweringFailsTheExchangeAtOnce) {
  Handle service(create("slow"));
  ASSERT_TRUE(service);
  ASSERT_TRUE(startService(service.get(), {})) << lastError() << output("slow");
  ASSERT_TRUE(reaches(service.get(), kServiceRunning)) << output("slow");
  const pid_t pid = hostPid("slow");
  ASSERT_GT(pid, 0);

  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    for (int i = 0; i < 250 && !fileExists(file("slow.busy")); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stopped = testing_support::stopProcess(pid);
  });
  const auto began = std::chrono::steady_clock::now();
  ServiceStatus status;
  EXPECT_FALSE(controlService(service.get(), kSlowControl, status));
  EXPECT_EQ(lastError(), kErrorServiceRequestTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
  stopper.join();
  ASSERT_TRUE(stopped) << "state " << testing_support::processState(pid);

  // A stop written, then given up on before any answer came.
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(posix::connectUnixSocket(fd, posix::controlSocketPath("slow")), 0);
  const posix::ControlRequest stop = posix::makeRequest(posix::ControlOp::kControl, kControlStop);
  EXPECT_EQ(write(fd, &stop, sizeof stop), static_cast<ssize_t>(sizeof stop));
  close(fd);

  ASSERT_EQ(kill(pid, SIGCONT), 0);
  // Served in turn, after the abandoned stop.
  ASSERT_TRUE(queryServiceStatus(service.get(), status)) << lastError();
  EXPECT_EQ(status.currentState, kServiceRunning);
  EXPECT_EQ(status.checkPoint, kSlowControl) << "the slow control was done";
}

// Shutdown comes from the system alone; sent over the control socket it is
// refused as a control the service does not take, and a stop still ends
// the service.
TEST_F(ServiceManagerTest, ShutdownThroughTheControlSocketIsRefused) {
  Handle service(create("keeper"));
  ASSERT_TRUE(service);
  ASSERT_TRUE(startService(service.get(), {})) << lastError() << output("keeper");
  ASSERT_TRUE(reaches(service.get(), kServiceRunning)) << output("keeper");

  posix::ControlReply reply;
  ASSERT_EQ(posix::exchange("keeper", posix::makeRequest(posix::ControlOp::kControl,
                                                         kControlShutdown),
                            reply),
            posix::ExchangeResult::kAnswered);
  EXPECT_EQ(reply.error, kErrorInvalidServiceControl);
  EXPECT_EQ(reply.status.currentState, kServiceRunning);

  ServiceStatus status;
  ASSERT_TRUE(controlService(service.get(), kControlStop, status)) << lastError();
  EXPECT_EQ(status.currentState, kServiceStopped);
  EXPECT_EQ(readFile(file("keeper.taps")), "2:1 4:0 1:0 ") << "the handler never saw it";
}

TEST_F(ServiceManagerTest, StartFailsWhenTheProcessNeverReachesItsDispatcher) {
  Handle quitter(create("quitter", "", "sm-exit"));
  ASSERT_TRUE(quitter);
  auto began = std::chrono::steady_clock::now();
  EXPECT_FALSE(startService(quitter.get(), {}));
  EXPECT_EQ(lastError(), kErrorServiceRequestTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5))
      << "a process that ended must fail the start at once";

  posix::setServiceStartTimeoutForTesting(500);
  Handle sleeper(create("sleeper", "", "sm-sleep"));
  ASSERT_TRUE(sleeper);
  began = std::chrono::steady_clock::now();
  EXPECT_FALSE(startService(sleeper.get(), {}));
  EXPECT_EQ(lastError(), kErrorServiceRequestTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
  const pid_t pid = hostPid("sleeper");
  ASSERT_GT(pid, 0) << "the sleeper did run";
  EXPECT_FALSE(fileExists("/proc/" + std::to_string(pid))) << "killed and reaped";
  ServiceStatus status;
  ASSERT_TRUE(queryServiceStatus(sleeper.get(), status));
  EXPECT_EQ(status.currentState, kServiceStopped);

  Handle missing(createService(m_manager, "nowhere", "Nowhere", kServiceAllAccess,
                               kServiceWin32OwnProcess, kServiceDemandStart, kServiceErrorNormal,
                               "\"" + m_root.path() + "/no such program\" -x"));
  ASSERT_TRUE(missing);
  EXPECT_FALSE(startService(missing.get(), {}));
  EXPECT_EQ(lastError(), kErrorFileNotFound);
  Handle disabled(createService(m_manager, "disabled", "Disabled", kServiceAllAccess,
                                kServiceWin32OwnProcess, 4, kServiceErrorNormal,
                                testing_support::serviceHostCommandLine("sm-basic", "disabled")));
  ASSERT_TRUE(disabled);
  EXPECT_FALSE(startService(disabled.get(), {}));
  EXPECT_EQ(lastError(), 1058u);
  EXPECT_FALSE(fileExists(file("disabled.host")));
  Handle unsearched(createService(m_manager, "unsearched", "Unsearched", kServiceAllAccess,
                                  kServiceWin32OwnProcess, kServiceDemandStart,
                                  kServiceErrorNormal, "vornd-no-such-program-here"));
  ASSERT_TRUE(unsearched);
  EXPECT_FALSE(startService(unsearched.get(), {}));
  EXPECT_EQ(lastError(), kErrorFileNotFound);
}

TEST_F(ServiceManagerTest, TwoStartsAtOnceSpawnOneProcess) {
  Handle service(create("racer"));
  ASSERT_TRUE(service);
  bool started[2] = {};
  ErrorCode errors[2] = {};
  std::thread other([&] {
    started[1] = startService(service.get(), {});
    errors[1] = lastError();
  });
  started[0] = startService(service.get(), {});
  errors[0] = lastError();
  other.join();
  ASSERT_NE(started[0], started[1]) << errors[0] << " " << errors[1] << output("racer");
  EXPECT_EQ(started[0] ? errors[1] : errors[0], kErrorServiceAlreadyRunning);
  ASSERT_TRUE(reaches(service.get(), kServiceRunning)) << output("racer");
  ServiceStatus status;
  EXPECT_TRUE(controlService(service.get(), kControlStop, status)) << lastError();
  EXPECT_EQ(readFile(file("racer.taps")), "2:1 4:0 1:0 ");
}

// ---- Long names and long roots -------------------------------------------------------

// A state root whose path alone is longer than an AF_UNIX address holds.
class LongServiceNamesTest : public ServiceManagerTest {
 protected:
  LongServiceNamesTest()
      : m_longRoot(m_root.path() + "/" + std::string(70, 'r') + "/" + std::string(70, 's')) {
    setEnvironmentVariable("VORND_ROOT", m_longRoot);
  }
  ~LongServiceNamesTest() override { setEnvironmentVariable("VORND_ROOT", m_root.path()); }

  // Create, start, control, stop, start again, delete while running, stop.
  void liveWholeLife(const std::string& name) {
    SCOPED_TRACE(std::to_string(name.size()) + " characters");
    Handle service(create(name));
    ASSERT_TRUE(service) << lastError();
    ASSERT_TRUE(startService(service.get(), {})) << lastError() << output(name);
    ASSERT_TRUE(reaches(service.get(), kServiceRunning)) << output(name);
    // At its documented path, whatever the length.
    EXPECT_TRUE(fileExists(file("run/" + name + ".ctl")));
    ServiceStatus status;
    EXPECT_TRUE(controlService(service.get(), kControlInterrogate, status)) << lastError();
    ASSERT_TRUE(controlService(service.get(), kControlStop, status)) << lastError();
    EXPECT_EQ(status.currentState, kServiceStopped);
    ASSERT_TRUE(startService(service.get(), {})) << lastError() << output(name);
    ASSERT_TRUE(reaches(service.get(), kServiceRunning)) << output(name);
    ASSERT_TRUE(deleteService(service.get())) << lastError();
    EXPECT_TRUE(keyExists(kServicesKey + name));
    ASSERT_TRUE(controlService(service.get(), kControlStop, status)) << lastError();
    EXPECT_FALSE(keyExists(kServicesKey + name));
    EXPECT_EQ(openService(m_manager, name, kServiceAllAccess), nullptr);
    EXPECT_EQ(lastError(), kErrorServiceDoesNotExist);
  }

  std::string m_longRoot;
};

TEST_F(LongServiceNamesTest, EveryNameCreateAcceptsLivesItsWholeLife) {
  // Longer names are refused before anything is written; the longest
  // accepted one must still be a generous length.
  std::size_t longest = 0;
  for (std::size_t length = 300; length > 0; --length) {
    const std::string name(length, 'b');
    Handle service(create(name));
    if (service) {
      longest = length;
      break;
    }
    EXPECT_EQ(lastError(), 123u) << length;
    EXPECT_FALSE(keyExists(kServicesKey + name)) << length;
  }
  ASSERT_GE(longest, 200u);
  Handle created(openService(m_manager, std::string(longest, 'b'), kServiceAllAccess));
  ASSERT_TRUE(created);
  ASSERT_TRUE(deleteService(created.get())) << lastError();

  liveWholeLife(std::string(200, 'a'));
  liveWholeLife(std::string(longest, 'c'));
}

// ---- The service side outside a started process ---------------------------------------

void neverRuns(std::uint32_t, char**) { ADD_FAILURE() << "service main ran"; }
void ignoreControl(std::uint32_t) {}

TEST(ServiceSideOutsideManager, RefusesWithoutTouchingDescriptorThree) {
  const ServiceTableEntry table[] = {{"x", neverRuns}, {nullptr, nullptr}};
  EXPECT_FALSE(startServiceCtrlDispatcher(table));
  EXPECT_EQ(lastError(), kErrorFailedServiceControllerConnect);

  // A socket at 3 that someone else put there, with data of its own.
  const int saved = fcntl(3, F_DUPFD_CLOEXEC, 10);
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  ASSERT_EQ(send(pair[0], "LISTEN_FDS", 10, 0), 10);
  ASSERT_EQ(dup2(pair[1], 3), 3);
  EXPECT_FALSE(startServiceCtrlDispatcher(table));
  EXPECT_EQ(lastError(), kErrorFailedServiceControllerConnect);
  char data[16] = {};
  EXPECT_EQ(recv(3, data, sizeof data, MSG_DONTWAIT), 10) << "its data must stay unread";
  EXPECT_EQ(fcntl(3, F_GETFD), 0) << "and its flags untouched";
  if (saved >= 0) {
    dup2(saved, 3);
    close(saved);
  } else {
    close(3);
  }
  close(pair[0]);
  close(pair[1]);

  EXPECT_EQ(registerServiceCtrlHandler("x", ignoreControl), nullptr);
  EXPECT_EQ(lastError(), kErrorFailedServiceControllerConnect);
  ServiceStatus status;
  status.currentState = kServiceRunning;
  EXPECT_FALSE(setServiceStatus(nullptr, status));
  EXPECT_EQ(lastError(), kErrorInvalidHandle);
}

}  // namespace
