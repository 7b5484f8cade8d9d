// A registry file that cannot be parsed: the daemon starts on its
// defaults, says why, and leaves the file as it found it; the service
// manager says so too, and writes nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "daemon/vornd.h"
#include "daemon_runner.h"
#include "platform/registry.h"
#include "platform/service_manager.h"
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

TEST(DamagedRegistry, TheServiceManagerReportsItInsteadOfAMissingService) {
  testing_support::ScopedStateRoot root;
  const std::string file = root.path() + "/registry";
  platform::ScHandle manager = platform::openSCManager(platform::kScManagerAllAccess);
  ASSERT_NE(nullptr, manager);
  platform::ScHandle service = platform::createService(
      manager, "svc", "svc", platform::kServiceAllAccess, platform::kServiceWin32OwnProcess,
      platform::kServiceDemandStart, platform::kServiceErrorNormal, "/bin/true -runService");
  ASSERT_NE(nullptr, service) << platform::lastError();
  std::ofstream(file, std::ios::binary | std::ios::app) << "\"Broken\"=REG_SZ:\"no end\n";
  const std::string damaged = testing_support::readFile(file);

  // Whether the name is recorded or not, nobody can tell.
  for (const char* name : {"svc", "other"}) {
    platform::setLastError(0);
    EXPECT_EQ(nullptr, platform::openService(manager, name, platform::kServiceAllAccess)) << name;
    EXPECT_EQ(platform::kErrorRegistryCorrupt, platform::lastError()) << name;
  }
  // A handle opened before the damage.
  platform::setLastError(0);
  EXPECT_FALSE(platform::startService(service, {}));
  EXPECT_EQ(platform::kErrorRegistryCorrupt, platform::lastError());
  platform::setLastError(0);
  EXPECT_FALSE(platform::deleteService(service));
  EXPECT_EQ(platform::kErrorRegistryCorrupt, platform::lastError());
  platform::setLastError(0);
  EXPECT_EQ(nullptr, platform::createService(manager, "two", "two", platform::kServiceAllAccess,
                                             platform::kServiceWin32OwnProcess,
                                             platform::kServiceDemandStart,
                                             platform::kServiceErrorNormal, "/bin/true"));
  EXPECT_EQ(platform::kErrorRegistryCorrupt, platform::lastError());
  EXPECT_EQ(0u, platform::registryLastParseError().rfind(file + ":", 0))
      << platform::registryLastParseError();
  EXPECT_EQ(damaged, testing_support::readFile(file));

  // Repaired, the service is there again, untouched.
  std::ofstream(file, std::ios::binary | std::ios::trunc)
      << damaged.substr(0, damaged.rfind("\"Broken\""));
  platform::ScHandle again = platform::openService(manager, "svc", platform::kServiceAllAccess);
  EXPECT_NE(nullptr, again) << platform::lastError();
  if (again != nullptr) platform::closeServiceHandle(again);
  platform::closeServiceHandle(service);
  platform::closeServiceHandle(manager);
}

}  // namespace
