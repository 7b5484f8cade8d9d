// An instance looks healthy only while it serves: one whose port another
// program holds is not reported running (not to systemd, not to -start),
// a unit for an instance never installed serves nothing, and a second
// copy of a running instance is refused.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "platform/net.h"
#include "platform/service_manager.h"
#include "posix/notify_socket.h"
#include "posix/run_program.h"
#include "registry_fixture.h"
#include "temp_dir.h"

namespace {

using namespace platform;

const std::string kVornd = std::string(VORND_BINARY_DIR) + "/vornd";

// A port held by a listener of the test's own, and an instance installed
// for it under a private state root.
class InstanceHealth : public ::testing::Test {
 protected:
  InstanceHealth() : m_key("SYSTEM\\CurrentControlSet\\Services\\" + m_name) {
    startSockets();
    m_holder = createTcpSocket();
    Ipv4Endpoint any;
    EXPECT_TRUE(bindSocket(m_holder, any));
    EXPECT_TRUE(listenSocket(m_holder, 5));
    m_port = localPort(m_holder);
    m_manager = openSCManager(kScManagerAllAccess);
    m_service = createService(m_manager, m_name, m_name, kServiceAllAccess,
                              kServiceWin32OwnProcess, kServiceDemandStart, kServiceErrorNormal,
                              kVornd + " -runService");
    EXPECT_NE(m_service, nullptr) << lastError();
    EXPECT_EQ(0u, m_key.setText("Config", "SockPort", std::to_string(m_port)));
    EXPECT_EQ(0u, m_key.setText("Config", "CreateDesktop", "No"));
  }
  ~InstanceHealth() override {
    ServiceStatus status;
    if (m_service != nullptr) {
      controlService(m_service, kControlStop, status);
      waitFor(kServiceStopped);
      deleteService(m_service);
      closeServiceHandle(m_service);
    }
    if (m_manager != nullptr) closeServiceHandle(m_manager);
    releasePort();
    cleanupSockets();
  }
  void releasePort() {
    if (m_holder != kInvalidSocket) closeSocket(m_holder);
    m_holder = kInvalidSocket;
  }
  bool waitFor(std::uint32_t state, int ms = 20000) {
    ServiceStatus status;
    for (int waited = 0; waited < ms; waited += 50) {
      if (queryServiceStatus(m_service, status) && status.currentState == state) return true;
      usleep(50000);
    }
    return false;
  }
  testing_support::Outcome vornd(const std::vector<std::string>& args) {
    return testing_support::runProgram(kVornd, args, "", "", 40000);
  }

  testing_support::ScopedStateRoot m_root;
  std::string m_name = "health" + std::to_string(getpid());
  testing_support::ScopedRegistryKey m_key;
  SocketHandle m_holder = kInvalidSocket;
  std::uint16_t m_port = 0;
  ScHandle m_manager = nullptr;
  ScHandle m_service = nullptr;
};

// The executable as systemd runs a unit's daemon.
pid_t spawnUnitDaemon(const std::string& root, const std::string& instance, int errFd) {
  std::vector<std::string> environment{"VORND_ROOT=" + root, "VORND_UNIT_INSTANCE=" + instance,
                                       "NOTIFY_SOCKET=" + root + "/notify"};
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = kVornd, word = "-runService";
  char* argv[] = {program.data(), word.data(), nullptr};
  const pid_t pid = fork();
  if (pid == 0) {
    if (errFd >= 0) dup2(errFd, 2);
    execve(argv[0], argv, envp.data());
    _exit(127);
  }
  return pid;
}

int exitStatusWithin(pid_t pid, int ms) {
  for (int waited = 0; waited < ms; waited += 20) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    usleep(20000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

TEST_F(InstanceHealth, AUnitIsReadyOnlyOnceItListensAndSaysWhatItWaitsFor) {
  NotifySocket notify(m_root.path() + "/notify");
  const pid_t pid = spawnUnitDaemon(m_root.path(), m_name, -1);
  ASSERT_GT(pid, 0);
  const std::string waiting = "STATUS=waiting for port " + std::to_string(m_port) +
                              ", held by another program";
  const std::string before = notify.joinedUntil(waiting, 10000);
  EXPECT_NE(before.find(waiting), std::string::npos) << before;
  EXPECT_NE(before.find("EXTEND_TIMEOUT_USEC="), std::string::npos) << before;
  // The next attempt comes 1 s later and fails as well: still not ready.
  const std::string held = notify.joinedUntil("READY=1", 1500);
  EXPECT_EQ(held.find("READY=1"), std::string::npos) << held;
  releasePort();
  const std::string after = notify.joinedUntil("READY=1", 10000);
  EXPECT_NE(after.find("READY=1\nSTATUS=running"), std::string::npos) << after;
  kill(pid, SIGTERM);
  EXPECT_EQ(0, exitStatusWithin(pid, 20000));
}

TEST_F(InstanceHealth, AUnitForAnInstanceNotInstalledServesNothingAndIsNotRestarted) {
  int err[2];
  ASSERT_EQ(0, pipe(err));
  releasePort();
  const pid_t pid = spawnUnitDaemon(m_root.path(), "nosuch", err[1]);
  close(err[1]);
  // 78 is the status the unit's RestartPreventExitStatus= names.
  EXPECT_EQ(78, exitStatusWithin(pid, 10000));
  std::string text;
  char buffer[512];
  for (ssize_t got; (got = read(err[0], buffer, sizeof buffer)) > 0;) text.append(buffer, got);
  close(err[0]);
  EXPECT_EQ("vornd: no instance named nosuch is installed; not serving it\n", text);
  const std::string unit = testing_support::readFile(std::string(VORND_SOURCE_DIR) +
                                                     "/packaging/vornd@.service");
  EXPECT_NE(unit.find("\nRestartPreventExitStatus=78\n"), std::string::npos);
}

TEST_F(InstanceHealth, StartSaysThePortIsInUseWhileTheInstanceKeepsTrying) {
  const auto start = vornd({"-start", m_name});
  EXPECT_EQ(1, start.exitCode) << start.out << start.err;
  EXPECT_NE(start.out.find("Port " + std::to_string(m_port) + " is in use by another program; " +
                           m_name + " keeps trying"),
            std::string::npos)
      << start.out;
  ServiceStatus status;
  ASSERT_TRUE(queryServiceStatus(m_service, status));
  EXPECT_EQ(kServiceStartPending, status.currentState);
  // It takes the port once it is free, and a -debug copy is then refused.
  releasePort();
  ASSERT_TRUE(waitFor(kServiceRunning));
  const auto second = vornd({"-debug", m_name});
  EXPECT_EQ(1, second.exitCode) << second.out << second.err;
  EXPECT_EQ(m_name + " runs as a service already; stop it first (-stop " + m_name + ")\n",
            second.out);
  EXPECT_EQ("", second.err);
}

}  // namespace
