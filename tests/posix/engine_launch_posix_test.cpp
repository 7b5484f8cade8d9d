// The POSIX launch: what an engine inherits, under which account it runs,
// the exec's own error codes, and a daemon that leaves nothing behind
// after many clients.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

#include "engine_probe.h"
#include "platform/posix/engine_reaper.h"
#include "platform/posix/logon_posix.h"
#include "platform/process_launch.h"
#include "posix/process_census.h"
#include "posix/throwaway_account.h"
#include "serving_fixture.h"

namespace {

using testing_support::kAccepted;
using testing_support::openDescriptors;
using testing_support::record;
using testing_support::residentKilobytes;
using testing_support::waitUntilAllReaped;
using testing_support::zombieChildren;

class PosixEngineLaunch : public testing_support::ServingFixture {
 protected:
  PosixEngineLaunch() { config("AuthenticationMethod", "Vorn"); }
};

TEST_F(PosixEngineLaunch, TheEngineHoldsTheStandardDescriptorsAndTheSocketAlone) {
  config("VornExecutable", testing_support::serviceHostCommandLine("engine-probe", "report"));
  start();
  // Descriptors a library might leave open across exec.
  const int leaked = open("/dev/null", O_RDONLY);
  int pipeEnds[2];
  ASSERT_EQ(0, pipe(pipeEnds));
  const std::string reply = exchange(record("u", "p"));
  close(leaked);
  close(pipeEnds[0]);
  close(pipeEnds[1]);

  ASSERT_EQ(kAccepted, reply.substr(0, 2));
  const auto report = testing_support::parseProbeReport(reply.substr(2));
  ASSERT_TRUE(report.complete);
  ASSERT_GE(report.args.size(), 5u);
  std::smatch number;
  ASSERT_TRUE(std::regex_match(report.args[4], number, std::regex("-f=([0-9]+)")));
  EXPECT_EQ((std::vector<int>{0, 1, 2, std::stoi(number[1])}), report.fds);
  EXPECT_GT(std::stoi(number[1]), 2);
}

TEST_F(PosixEngineLaunch, ManyClientsLeaveNoZombieNoDescriptorAndNoMemoryBehind) {
  config("VornExecutable", "/bin/true");
  start();
  auto loginMany = [this](int count) {
    for (int i = 0; i < count; ++i) {
      if (exchange(record("u", "p")) != kAccepted) return false;
    }
    return true;
  };
  // A first round settles the allocator, the reaper's thread and the log.
  ASSERT_TRUE(loginMany(200));
  ASSERT_TRUE(waitUntilAllReaped());
  const int descriptors = openDescriptors();
  const long memory = residentKilobytes();

  ASSERT_TRUE(loginMany(2000));
  ASSERT_TRUE(waitUntilAllReaped());
  EXPECT_EQ(0, zombieChildren());
  EXPECT_EQ(descriptors, openDescriptors());
#if !defined(__SANITIZE_ADDRESS__)
  // (The address sanitizer keeps freed memory in quarantine on purpose.)
  EXPECT_LT(residentKilobytes() - memory, 1024) << memory << " kB at the start";
#else
  (void)memory;
#endif
  EXPECT_EQ("2200/0", counters());
}

// The exec's own error reaches the caller, and a name without a slash is
// looked for on PATH.
TEST(PosixProcessLaunch, ErrorsOfTheExecAndThePathSearch) {
  testing_support::TemporaryDirectory dir;
  const std::string plain = dir.file("plain");
  const std::string garbage = dir.file("garbage");
  std::ofstream(plain) << "not a program\n";
  std::ofstream(garbage) << "\x7f" "ELF garbage";
  ASSERT_EQ(0, chmod(garbage.c_str(), 0755));
  const char block[] = "A=1\0";

  auto launch = [&block](const std::string& line) {
    platform::ProcessLaunch request;
    request.commandLine = line.c_str();
    request.environment = block;
    platform::setLastError(0);
    return platform::launchProcess(request) ? 0u : platform::lastError();
  };
  EXPECT_EQ(2u, launch(dir.file("missing")));
  EXPECT_EQ(5u, launch(plain));
  EXPECT_EQ(193u, launch(garbage));
  EXPECT_EQ(2u, launch("no-such-program-" + std::to_string(getpid())));
  EXPECT_EQ(2u, launch(""));
  EXPECT_EQ(0u, launch("true -x"));
  EXPECT_EQ(0u, launch("\"/bin/true\" \"a b\""));
  EXPECT_TRUE(waitUntilAllReaped());
}

// A daemon that is not root runs engines as its own account only.
TEST(PosixProcessLaunch, OnlyRootTakesOnAnotherAccount) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    platform::LogonTokenImpl root{"root", 0, 0, {0}};
    platform::LogonTokenImpl self{"nobody", 65534, 65534, {65534}};
    platform::ProcessLaunch request;
    request.commandLine = "/bin/true";
    request.environment = "\0";
    request.asUser = true;
    request.token = &root;
    if (platform::launchProcess(request) || platform::lastError() != 1314) _exit(11);
    request.token = &self;
    if (!platform::launchProcess(request)) _exit(12);
    request.token = nullptr;
    if (platform::launchProcess(request) || platform::lastError() != 6) _exit(13);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

// As root with the system's logon: the engine runs as the account, with
// its groups, and gets no credentials in its environment.
class PosixLogonLaunch : public PosixEngineLaunch {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "creating an account needs root";
    ASSERT_TRUE(m_account.create());
  }
  testing_support::ThrowAwayAccount m_account;
};

TEST_F(PosixLogonLaunch, TheEngineRunsUnderTheAccountsIds) {
  config("AuthenticationMethod", "LogonUser");
  // A shell any account may run stands in for the probe, whose folder the
  // account may not be allowed to enter. It reports on the socket named by
  // its last argument.
  config("VornExecutable",
         "/bin/bash -c \"exec 1>&${1#-f=}; echo uid=$(id -u) gid=$(id -g); "
         "id -G | tr ' ' '\\n' | sort -n | sed 's/^/group=/'; env\" engine");
  start();
  const std::string reply = exchange(record(m_account.name(), m_account.password()));
  ASSERT_EQ(kAccepted, reply.substr(0, 2)) << log();

  const passwd* entry = getpwnam(m_account.name().c_str());
  ASSERT_NE(entry, nullptr);
  int count = 64;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  ASSERT_GE(getgrouplist(m_account.name().c_str(), entry->pw_gid, groups.data(), &count), 0);
  groups.resize(static_cast<std::size_t>(count));
  std::sort(groups.begin(), groups.end());
  groups.erase(std::unique(groups.begin(), groups.end()), groups.end());
  std::string expected =
      "uid=" + std::to_string(entry->pw_uid) + " gid=" + std::to_string(entry->pw_gid) + "\n";
  for (gid_t group : groups) expected += "group=" + std::to_string(group) + "\n";
  EXPECT_EQ(0u, reply.find(expected, 2) - 2) << reply;
  EXPECT_EQ(std::string::npos, reply.find("SYSUID"));
  EXPECT_EQ(std::string::npos, reply.find(m_account.password()));
}

}  // namespace
