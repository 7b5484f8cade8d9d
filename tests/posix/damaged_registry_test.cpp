// A registry file that cannot be parsed: the daemon starts on its
// defaults, says why, and leaves the file as it found it.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "daemon/vornd.h"
#include "daemon_runner.h"
#include "temp_dir.h"

namespace {

class PlainDaemon : public CVornD {
 public:
  explicit PlainDaemon(const std::string& name)
      : CVornD(name, name, platform::kServiceWin32OwnProcess) {
    m_config.SockPort = 0;
  }
};

TEST(DamagedRegistry, DaemonRunsOnDefaultsAndReportsTheFileAndLine) {
  testing_support::ScopedStateRoot root;
  const std::string file = root.path() + "/registry";
  const std::string damaged =
      "vornd registry 1\n[SYSTEM\\CurrentControlSet\\Services\\svc\\Config]\n"
      "\"SockPort\"=REG_SZ:\"8061\n";
  std::filesystem::create_directories(root.path());
  std::ofstream(file, std::ios::binary) << damaged;

  testing_support::RecordingTap tap;
  testing_support::DaemonRunner<PlainDaemon> run("svc");
  run.start();
  ASSERT_TRUE(testing_support::waitForState(tap, platform::kServiceRunning));
  run.stop();

  EXPECT_EQ(0, run.daemon().config().SockPort) << "a value from the damaged file was applied";
  bool reported = false;
  for (const std::string& line : tap.debug()) {
    if (line.rfind("Reading the registry (" + file + ":3: ", 0) == 0 &&
        line.find(") failed: The configuration registry database is corrupt.") != std::string::npos) {
      reported = true;
    }
  }
  EXPECT_TRUE(reported);
  bool logged = false;
  for (const auto& event : tap.events()) {
    if (event.text.rfind("Reading the registry (", 0) == 0) logged = true;
  }
  EXPECT_TRUE(logged);
  EXPECT_EQ(damaged, testing_support::readFile(file));
}

}  // namespace
