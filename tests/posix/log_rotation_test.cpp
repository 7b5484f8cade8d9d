// The package's logrotate file, run by the system's logrotate over an
// instance's event log while logins go on: every refusal line is in the
// rotated file or the new one, whole, and none twice.
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "posix/run_program.h"
#include "serving_fixture.h"

namespace {

using testing_support::Client;
using testing_support::kRefused;
using testing_support::record;

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class LogRotation : public testing_support::ServingFixture {};

TEST_F(LogRotation, NothingIsLostAcrossARotationWhileLoginsGoOn) {
  if (access("/usr/sbin/logrotate", X_OK) != 0) GTEST_SKIP() << "logrotate is not installed";
  const std::string root = platform::getEnvironmentVariable("VORND_ROOT").value_or("");
  ASSERT_FALSE(root.empty());
  const std::string events = root + "/log/events.log";
  // The shipped file, pointed at this run's log.
  std::string rules = readAll(std::string(VORND_SOURCE_DIR) + "/packaging/logrotate/vornd");
  const std::string shipped = "/var/lib/vornd/log/events.log";
  ASSERT_NE(rules.find(shipped), std::string::npos);
  rules.replace(rules.find(shipped), shipped.size(), events);
  const std::string conf = m_dir.file("logrotate.conf");
  std::ofstream(conf) << rules;

  config("AuthenticationMethod", "HTPassword");
  start();
  const std::string user = "rot" + std::to_string(getpid());
  std::atomic<int> refused{0};
  std::atomic<bool> done{false};
  // Under the cap of ten lines a second per address, so that every
  // refusal has its line.
  std::thread logins([&] {
    while (!done) {
      Client client(m_port);
      client.send(record(user, "pw"));
      if (client.readAll(5000) == kRefused) ++refused;
      platform::sleepMs(120);
    }
  });
  platform::sleepMs(1000);
  const auto rotate = testing_support::runProgram(
      "/usr/sbin/logrotate", {"-f", "-s", m_dir.file("logrotate.state"), conf}, "", "", 30000);
  platform::sleepMs(1000);
  done = true;
  logins.join();
  ASSERT_EQ(rotate.exitCode, 0) << rotate.err;
  ASSERT_EQ(access((events + ".1").c_str(), F_OK), 0) << "no rotated file";

  // Each refusal once, in one file or the other, whole.
  const std::string marker = "Login refused for user " + user + " from 127.0.0.1 port ";
  int lines = 0, rotated = 0;
  for (const std::string& file : {events + ".1", events}) {
    std::istringstream text(readAll(file));
    for (std::string line; std::getline(text, line);) {
      if (line.find(marker) == std::string::npos) continue;
      EXPECT_NE(line.find(": every login is refused by this method"), std::string::npos) << line;
      ++lines;
      rotated += file == events + ".1";
    }
  }
  EXPECT_GT(rotated, 0);
  EXPECT_LT(rotated, lines);
  EXPECT_EQ(lines, refused.load());
}

}  // namespace
