// The parts of the systemd side that need no systemd: unit names as
// systemd-escape makes them, and a unit's daemon as systemd would see it,
// started with its instance name in the environment and a notification
// socket, ready once it reports running, stopped by SIGTERM.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/command_line.h"
#include "platform/posix/service_control_channel.h"
#include "platform/posix/state_root.h"
#include "platform/posix/systemd_units.h"
#include "platform/service_manager.h"
#include "posix/notify_socket.h"
#include "posix/run_program.h"
#include "service_host.h"
#include "temp_dir.h"

namespace {

using namespace platform;

TEST(SystemdUnitNames, EscapedAsSystemdEscapeDoes) {
  EXPECT_EQ(posix::unitName("demo"), "vornd@demo.service");
  EXPECT_EQ(posix::systemdEscape("a-b c"), "a\\x2db\\x20c");
  EXPECT_EQ(posix::systemdEscape(".dot.ted"), "\\x2edot.ted");
  EXPECT_EQ(posix::systemdEscape("x/y"), "x-y");
  EXPECT_EQ(posix::systemdEscape("k:_9.Z"), "k:_9.Z");
  EXPECT_EQ(posix::systemdEscape("\xc3\xa9"), "\\xc3\\xa9");
  // And as the system's own tool has it, where there is one.
  if (access("/usr/bin/systemd-escape", X_OK) != 0) return;
  for (const std::string name : {"plain", "with-dash", "with space", ".lead", "mid.dot",
                                 "a\\b", "\xc3\xa9t\xc3\xa9", "x@y", "back`tick", "per%cent"}) {
    const auto run = testing_support::runProgram("/usr/bin/systemd-escape", {"--", name}, "", "",
                                                 10000);
    ASSERT_EQ(run.exitCode, 0) << name;
    EXPECT_EQ(posix::systemdEscape(name) + "\n", run.out) << name;
  }
}

TEST(SystemdUnitDaemon, ReadyWhenRunningTakesItsArgumentsAndStopsOnSigterm) {
  testing_support::ScopedStateRoot root;
  ASSERT_TRUE(posix::ensureStateRoot());
  const std::string name = "unitd" + std::to_string(getpid());
  ScHandle manager = openSCManager(kScManagerAllAccess);
  ASSERT_NE(manager, nullptr);
  ScHandle service = createService(manager, name, name, kServiceAllAccess,
                                   kServiceWin32OwnProcess, kServiceDemandStart,
                                   kServiceErrorNormal, "unused -runService");
  ASSERT_NE(service, nullptr) << lastError();
  // What a starter leaves for the unit's daemon.
  const std::string argumentsFile = posix::startArgumentsPath(name);
  {
    const std::string message = posix::encodeStartMessage({name, "stop-only"});
    ASSERT_TRUE(testing_support::writeFile(argumentsFile, message));
  }
  NotifySocket notify(root.path() + "/notify");
  ASSERT_TRUE(notify.bound());

  std::vector<std::string> argv =
      splitCommandLine(testing_support::serviceHostCommandLine("sm-basic", name));
  std::vector<std::string> environment{"VORND_ROOT=" + root.path(),
                                       "VORND_UNIT_INSTANCE=" + name,
                                       "NOTIFY_SOCKET=" + root.path() + "/notify"};
  std::vector<char*> argvPointers, environmentPointers;
  for (std::string& argument : argv) argvPointers.push_back(argument.data());
  argvPointers.push_back(nullptr);
  for (std::string& entry : environment) environmentPointers.push_back(entry.data());
  environmentPointers.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    execve(argvPointers[0], argvPointers.data(), environmentPointers.data());
    _exit(127);
  }
  ASSERT_GT(pid, 0);

  const auto started = notify.until("READY=1");
  ASSERT_FALSE(started.empty());
  EXPECT_EQ(started.front(), "STATUS=starting");
  EXPECT_EQ(started.back(), "READY=1\nSTATUS=running");
  EXPECT_FALSE(testing_support::fileExists(argumentsFile)) << "read once, then removed";
  EXPECT_EQ(testing_support::readFile(root.path() + "/" + name + ".args"), name + "|stop-only");
  // Controls and status still go over the control socket.
  ServiceStatus status;
  ASSERT_TRUE(queryServiceStatus(service, status));
  EXPECT_EQ(status.currentState, kServiceRunning);

  ASSERT_EQ(kill(pid, SIGTERM), 0);
  const auto stopped = notify.until("STATUS=stopped");
  ASSERT_FALSE(stopped.empty());
  EXPECT_EQ(stopped.back(), "STATUS=stopped");
  int exitStatus = -1;
  ASSERT_EQ(waitpid(pid, &exitStatus, 0), pid);
  EXPECT_TRUE(WIFEXITED(exitStatus) && WEXITSTATUS(exitStatus) == 0) << exitStatus;
  ASSERT_TRUE(queryServiceStatus(service, status));
  EXPECT_EQ(status.currentState, kServiceStopped);
  deleteService(service);
  closeServiceHandle(service);
  closeServiceHandle(manager);
}

TEST(SystemdUnitDaemon, WithoutAnInstanceNameOrAChannelItIsNoService) {
  // The same host, with neither a start channel nor an instance name.
  const auto run = testing_support::runProgram(
      splitCommandLine(testing_support::serviceHostCommandLine("sm-basic", "orphan"))[0],
      {"--service-host", "sm-basic", "orphan"}, "", "", 10000);
  EXPECT_NE(run.out.find("dispatcher failed: 1063"), std::string::npos) << run.out << run.err;
}

}  // namespace
