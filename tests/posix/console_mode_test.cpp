// The executable run from a console, as a user would run it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "free_port.h"
#include "registry_fixture.h"
#include "temp_dir.h"

namespace {

const std::string kVornd = std::string(VORND_BINARY_DIR) + "/vornd";

struct Child {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
};

Child spawn(const std::vector<std::string>& args) {
  int out[2], err[2];
  EXPECT_EQ(0, pipe(out));
  EXPECT_EQ(0, pipe(err));
  Child child;
  child.pid = fork();
  if (child.pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]), close(out[1]), close(err[0]), close(err[1]);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  child.out = out[0];
  child.err = err[0];
  return child;
}

std::string drain(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  close(fd);
  return text;
}

// Waits at most timeoutMs for the child; -1 when it is still running.
int waitExit(pid_t pid, int timeoutMs) {
  for (int waited = 0; waited <= timeoutMs; waited += 10) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    usleep(10000);
  }
  return -1;
}

TEST(ConsoleMode, RunServiceFromAConsoleEndsQuietly) {
  testing_support::ScopedStateRoot root;
  Child child = spawn({kVornd, "-runService"});
  EXPECT_EQ(0, waitExit(child.pid, 10000));
  EXPECT_EQ("", drain(child.out));
  EXPECT_EQ("", drain(child.err));
}

TEST(ConsoleMode, DebugRunReportsTheMissingServiceManagerAndKeepsRunning) {
  testing_support::ScopedStateRoot root;
  testing_support::ScopedRegistryKey service("SYSTEM\\CurrentControlSet\\Services\\svc");
  ASSERT_EQ(0u, service.setText("Config", "SockPort", std::to_string(testing_support::freePort())));
  Child child = spawn({kVornd, "-debug", "svc"});
  const int early = waitExit(child.pid, 1500);
  if (early != -1) {
    ADD_FAILURE() << "ended with " << early << ": " << drain(child.err);
    return;
  }
  kill(child.pid, SIGKILL);
  waitExit(child.pid, 10000);
  const std::string err = drain(child.err);
  EXPECT_NE(std::string::npos,
            err.find("RegisterServiceCtrlHandler failed: The service process could not connect "
                     "to the service controller.\n"))
      << err;
  EXPECT_NE(std::string::npos, err.find("SetServiceStatus failed: The handle is invalid.\n")) << err;
  EXPECT_EQ("", drain(child.out));

  // The same failures reached the event log under the service's name.
  const std::string events = testing_support::readFile(root.path() + "/log/events.log");
  EXPECT_NE(std::string::npos, events.find(" svc ERROR RegisterServiceCtrlHandler failed: "))
      << events;

  // A newcomer is told in the quick start that exactly these two lines are
  // expected; the README quotes them as the program prints them.
  const std::string readme = testing_support::readFile(std::string(VORND_SOURCE_DIR) + "/README.md");
  const std::string::size_type quickStart = readme.find("## Quick start");
  const std::string::size_type next = readme.find("\n## ", quickStart + 1);
  ASSERT_NE(std::string::npos, quickStart);
  const std::string section = readme.substr(quickStart, next - quickStart);
  std::string::size_type start = 0;
  int quoted = 0;
  while (start < err.size()) {
    const std::string::size_type end = err.find('\n', start);
    const std::string line = err.substr(start, end - start);
    start = end == std::string::npos ? err.size() : end + 1;
    if (line.find(" failed: ") == std::string::npos) continue;
    EXPECT_NE(std::string::npos, section.find("    " + line + "\n")) << line;
    ++quoted;
  }
  EXPECT_EQ(2, quoted) << err;
}

// Only the arguments are searched for words: a program under a folder
// such as /home or my-home starts its service like any other.
TEST(ConsoleMode, HelpWordsInTheProgramPathAreJustAPath) {
  testing_support::ScopedStateRoot root;
  testing_support::TemporaryDirectory dir;
  const std::filesystem::path home = dir.path() / "my-home" / "h";
  std::filesystem::create_directories(home);
  std::filesystem::create_symlink(kVornd, home / "vornd");
  Child child = spawn({(home / "vornd").string(), "-runService"});
  EXPECT_EQ(0, waitExit(child.pid, 10000));
  EXPECT_EQ("", drain(child.out));
  EXPECT_EQ("", drain(child.err));
}

TEST(ConsoleMode, NoCommandWordPrintsUsage) {
  Child child = spawn({kVornd, "hello"});
  EXPECT_EQ(0, waitExit(child.pid, 10000));
  EXPECT_EQ(0u, drain(child.out).rfind("\nUsage:\n\n", 0));
  EXPECT_EQ("", drain(child.err));
}

}  // namespace
