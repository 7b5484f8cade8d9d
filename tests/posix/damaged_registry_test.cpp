// A registry file that cannot be parsed: the daemon starts on its
// defaults, says why, and leaves the file as it found it; the service
// manager and the administration commands say so too, and write nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "daemon/vornd.h"
#include "daemon_runner.h"
#include "platform/registry.h"
#include "platform/service_manager.h"
#include "posix/run_program.h"
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
  // On the defaults it has no port: it serves nothing and says so.
  ASSERT_TRUE(testing_support::waitForNotListening(tap));
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

// Records of a service and its list entry, damaged on the last line.
const std::string kDamagedRecords =
    "vornd registry 1\n"
    "[SOFTWARE\\Vornware\\Services]\n"
    "\"svc\"=REG_EXPAND_SZ:\"svc-8061\"\n"
    "[SYSTEM\\CurrentControlSet\\Services\\svc]\n"
    "\"DisplayName\"=REG_SZ:\"svc-8061\"\n"
    "\"Start\"=REG_DWORD:0x00000002\n"
    "\"Type\"=REG_DWORD:0x00000010\n"
    "\"ImagePath\"=REG_EXPAND_SZ:\"/bin/true -runService\"\n"
    "[SYSTEM\\CurrentControlSet\\Services\\svc\\Config]\n"
    "\"SockPort\"=REG_EXPAND_SZ:\"8061\n";

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

// Every administration command that reads the registry names the damaged
// file and line, ends with 1 and writes nothing.
TEST(DamagedRegistry, EveryAdminCommandReportsTheFileAndLineAndWritesNothing) {
  testing_support::ScopedStateRoot root;
  const std::string file = root.path() + "/registry";
  std::filesystem::create_directories(root.path());
  std::ofstream(file, std::ios::binary) << kDamagedRecords;

  // The damage as the store itself describes it.
  platform::RegKeyHandle key = nullptr;
  ASSERT_EQ(platform::kErrorRegistryCorrupt,
            platform::regOpenKey(platform::localMachine(), "SOFTWARE", platform::kKeyRead, key));
  const std::string problem = platform::registryLastParseError();
  ASSERT_EQ(0u, problem.rfind(file + ":10: ", 0)) << problem;
  const std::string report = "Reading the registry (" + problem +
                             ") failed: The configuration registry database is corrupt.\n\n";

  const std::string vornd = std::string(VORND_BINARY_DIR) + "/vornd";
  const std::string engine = std::string(VORND_BINARY_DIR) + "/vorn-echo-engine";
  const struct {
    std::vector<std::string> args;
    std::string printed;
  } cases[] = {
      {{"-status"}, report},
      {{"-start"}, report},
      {{"-start", "svc"}, "Service: svc " + report},
      {{"-start", "nosuch"}, "Service: nosuch " + report},
      {{"-stop"}, report},
      {{"-stop", "svc"}, "Service: svc " + report},
      {{"-stop", "svc", "other"}, report},
      {{"-restart"}, report},
      {{"-restart", "svc"}, "Service: svc " + report},
      {{"-remove", "-name=svc"}, report},
      // The install's line break before a CreateService report, as for any.
      {{"-install", "-name=svc", "-port=8061", "-engine=" + engine}, "\n" + report},
      {{"-install", "-name=fresh", "-port=8062", "-engine=" + engine, "A=1"}, "\n" + report},
      {{"-modify", "svc", "A=1"}, report},
      {{"-modify", "svc", "SockPort="}, report},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const std::string& word : c.args) shown += word + " ";
    const testing_support::Outcome outcome = testing_support::runProgram(vornd, c.args);
    EXPECT_EQ(c.printed, outcome.out) << shown;
    EXPECT_EQ(1, outcome.exitCode) << shown;
    EXPECT_EQ(kDamagedRecords, testing_support::readFile(file)) << shown;
    EXPECT_FALSE(testing_support::fileExists(root.path() + "/registry.tmp")) << shown;
  }
}

}  // namespace
