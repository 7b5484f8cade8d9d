#include <gtest/gtest.h>

#include <string>

#include "daemon/log_stream.h"
#include "daemon/registry_access.h"
#include "daemon/service_config.h"
#include "platform/environment.h"
#include "platform/registry.h"
#include "recording_tap.h"
#include "registry_fixture.h"
#include "temp_dir.h"

using testing_support::readFile;
using testing_support::ScopedRegistryKey;

namespace {

const char kSystemEnvironment[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

class ServiceConfigLoad : public ::testing::Test {
 protected:
  ServiceConfigLoad()
      : m_name(testing_support::uniqueName("cfgtest")),
        m_service("SYSTEM\\CurrentControlSet\\Services\\" + m_name) {}

  void config(const std::string& name, const std::string& text) {
    ASSERT_EQ(0u, m_service.setText("Config", name, text));
  }
  CServiceConfig load() {
    CServiceConfig loaded;
    loaded.Load(m_name);
    return loaded;
  }

  std::string m_name;
  ScopedRegistryKey m_service;
};

std::string dumpOf(const CServiceConfig& config) {
  testing_support::TemporaryDirectory dir;
  LogStream log;
  log.open(dir.file("dump.log"));
  config.Dump(log);
  log.close();
  std::string text = readFile(dir.file("dump.log"));
  std::string withoutCarriageReturns;
  for (char c : text) {
    if (c != '\r') withoutCarriageReturns += c;
  }
  return withoutCarriageReturns;
}

TEST_F(ServiceConfigLoad, NoKeyGivesTheDefaultsAndTheirDump) {
  const CServiceConfig loaded = load();
  EXPECT_EQ(8060, loaded.SockPort);
  EXPECT_EQ("LogonUser", loaded.AuthenticationMethod);
  EXPECT_EQ(
      "ServiceDisable(false)\n"
      "ServiceDisableVornKeys(false)\n"
      "ServiceDisableFms(false)\n"
      "ServiceDisableODBC(false)\n"
      "ServiceDisableLogins(false)\n"
      "ServiceEnableCmds(true)\n"
      "VornExecutable()\n"
      "VornDatabase()\n"
      "VornApplication()\n"
      "VornProcessName()\n"
      "VornProcessType()\n"
      "LogServiceDir()\n"
      "LogMasterDir()\n"
      "LogCreate(false)\n"
      "LogFileName()\n"
      "LogAllEvents(false)\n"
      "SockPort(8060)\n"
      "SockListenTimeout(5)\n"
      "SockReceiveTimeout(5)\n"
      "SockAbandonTimeout(30)\n"
      "SockNoDelay(true)\n"
      "SockNonBlock(false)\n"
      "AuthenticationMethod(LogonUser)\n"
      "IncludeSystemEnv(true)\n"
      "CreateDesktop(true)\n"
      "MaxPendingLogins(64)\n"
      "MaxPendingPerSource(8)\n"
      "LoginFailureLimit(10)\n"
      "LoginFailurePenalty(60)\n"
      "LogMaxSize(64)\n"
      "MaxPendingRecords(1024)\n"
      "SockTLS(No)\n"
      "TLSCertificateFile()\n"
      "TLSKeyFile()\n"
      "TLSClientCAFile()\n"
      "SockListenAddress()\n"
      "SourcePrefixIPv6(64)\n"
      "ProxyProtocolFrom()\n"
      "StatusPageFrom()\n",
      dumpOf(loaded));
}

TEST_F(ServiceConfigLoad, DisabledCommandsDumpAsNotEnabled) {
  config("ServiceDisableCmds", "Yes");
  const std::string dump = dumpOf(load());
  EXPECT_NE(std::string::npos, dump.find("\nServiceEnableCmds(false)\n")) << dump;
}

TEST_F(ServiceConfigLoad, TruthAndIntegerConversions) {
  config("LogCreate", "yes");         // lower-case: false
  config("LogAllEvents", "Y");        // the letter alone: true
  config("ServiceDisableFms", "Yes");
  config("ServiceDisableLogins", "true");
  config("IncludeSystemEnv", "No");   // a present value turns a default off
  config("CreateDesktop", "");
  config("SockNoDelay", "1");
  config("TCPEnableKeepAlive", "no");
  config("SockPort", "8061abc");
  config("SockListenTimeout", "   42");
  config("SockReceiveTimeout", "abc");
  config("SockAbandonTimeout", "-1");
  config("TCPKeepIdle", "99999999999");
  config("LogMaxSize", " 12MB");
  const CServiceConfig loaded = load();
  EXPECT_FALSE(loaded.LogCreate);
  EXPECT_TRUE(loaded.LogAllEvents);
  EXPECT_TRUE(loaded.ServiceDisableFms);
  EXPECT_FALSE(loaded.ServiceDisableLogins);
  EXPECT_FALSE(loaded.IncludeSystemEnv);
  EXPECT_FALSE(loaded.CreateDesktop);
  EXPECT_FALSE(loaded.SockNoDelay);
  EXPECT_FALSE(loaded.TCPEnableKeepAlive);
  EXPECT_EQ(8061, loaded.SockPort);
  EXPECT_EQ(42, loaded.SockListenTimeout);
  EXPECT_EQ(0, loaded.SockReceiveTimeout);
  EXPECT_EQ(-1, loaded.SockAbandonTimeout);
  EXPECT_EQ(2147483647, loaded.TCPKeepIdle);  // held at the limit, not wrapped
  EXPECT_EQ(-2147483647 - 1, CServiceConfig::integerValue("-99999999999"));
  EXPECT_EQ(7, CServiceConfig::integerValue("\t+7"));
  const std::string dump = dumpOf(loaded);
  EXPECT_NE(std::string::npos, dump.find("\nLogMaxSize(12)\n")) << dump;
}

TEST_F(ServiceConfigLoad, NamesMatchExactlyAndOtherTypesReadAsText) {
  config("sockport", "9000");
  config("SockPortX", "9001");
  // A DWORD is read as its bytes up to the first zero: "A" here.
  ASSERT_EQ(0u, m_service.set("Config", "VornDatabase", platform::kRegDword,
                              std::string("A\0\0\0", 4)));
  ASSERT_EQ(0u, m_service.set("Config", "VornApplication", platform::kRegSz,
                              std::string("app\0tail", 8)));
  const CServiceConfig loaded = load();
  EXPECT_EQ(8060, loaded.SockPort);
  EXPECT_EQ("A", loaded.VornDatabase);
  EXPECT_EQ("app", loaded.VornApplication);
}

TEST_F(ServiceConfigLoad, ExpansionInConfigAndSystemEnvironmentOnly) {
  platform::setEnvironmentVariable("VORNDTEST_HOME", std::string("/srv/vorn"));
  const std::string systemName = testing_support::uniqueName("VORNDTEST_SYS");
  config("VornDatabase", "%VORNDTEST_HOME%\\db");
  ASSERT_EQ(0u, m_service.setText("Environment", "ENGINE_HOME", "%VORNDTEST_HOME%"));
  {
    platform::RegKeyHandle key = nullptr;
    ASSERT_EQ(0u, platform::regCreateKey(platform::localMachine(), kSystemEnvironment, key));
    const std::string data = "%VORNDTEST_HOME%\\sys" + std::string(1, '\0');
    ASSERT_EQ(0u, platform::regSetValue(key, systemName, platform::kRegExpandSz, data.data(),
                                        static_cast<std::uint32_t>(data.size())));
    platform::regCloseKey(key);
  }
  const CServiceConfig loaded = load();
  {
    platform::RegKeyHandle key = nullptr;
    platform::regOpenKey(platform::localMachine(), kSystemEnvironment, platform::kKeyAllAccess, key);
    platform::regDeleteValue(key, systemName);
    platform::regCloseKey(key);
  }
  platform::setEnvironmentVariable("VORNDTEST_HOME", std::nullopt);
  EXPECT_EQ("/srv/vorn\\db", loaded.VornDatabase);
  EXPECT_EQ("%VORNDTEST_HOME%", loaded.Environment.at("ENGINE_HOME"));
  EXPECT_EQ("/srv/vorn\\sys", loaded.Environment.at(systemName));
}

TEST_F(ServiceConfigLoad, TheSystemsValueWinsOnlyWhenIncluded) {
  const std::string shared = testing_support::uniqueName("VORNDTEST_SHARED");
  platform::RegKeyHandle key = nullptr;
  ASSERT_EQ(0u, platform::regCreateKey(platform::localMachine(), kSystemEnvironment, key));
  const std::string systemValue = std::string("from-system") + '\0';
  platform::regSetValue(key, shared, platform::kRegSz, systemValue.data(),
                        static_cast<std::uint32_t>(systemValue.size()));
  ASSERT_EQ(0u, m_service.setText("Environment", shared, "from-service"));
  ASSERT_EQ(0u, m_service.setText("Environment", "vorndtest_lower", "lower"));
  ASSERT_EQ(0u, m_service.setText("Environment", "SystemRoot", "D:\\Win"));

  const CServiceConfig included = load();
  config("IncludeSystemEnv", "No");
  const CServiceConfig excluded = load();
  platform::regDeleteValue(key, shared);
  platform::regCloseKey(key);

  EXPECT_EQ("from-system", included.Environment.at(shared));
  EXPECT_EQ("from-service", excluded.Environment.at(shared));
  EXPECT_EQ("lower", included.Environment.at("vorndtest_lower"));
  // The service's own value replaces the one taken from the daemon.
  EXPECT_EQ("D:\\Win", excluded.Environment.at("SystemRoot"));
  EXPECT_EQ(1u, excluded.Environment.count("SystemDrive"));
}

TEST_F(ServiceConfigLoad, DebugServiceWithoutADebuggerIsNotedAndLoadGoesOn) {
  testing_support::RecordingTap tap;
  ASSERT_EQ(0u, m_service.set("Config", "DebugService", platform::kRegDword, std::string(4, '\0')));
  config("SockPort", "9100");
  const CServiceConfig loaded = load();
  EXPECT_EQ(9100, loaded.SockPort);
  const auto debug = tap.debug();
  ASSERT_EQ(1u, debug.size());
  EXPECT_NE(std::string::npos, debug[0].find("DebugService")) << debug[0];
}

TEST(RegistryAccess, MissingKeysValuesAndZeroBytes) {
  ScopedRegistryKey scoped("SOFTWARE\\VorndTest\\" + testing_support::uniqueName("access"));
  {
    RegKey missing(platform::localMachine(), scoped.path());
    EXPECT_FALSE(missing.isOpen());
    EXPECT_TRUE(RegValueSequence(missing).begin() == RegValueSequence(missing).end());
  }
  platform::setEnvironmentVariable("VORNDTEST_X", std::string("expanded"));
  ASSERT_EQ(0u, scoped.setText("", "Ref", "%VORNDTEST_X%"));
  ASSERT_EQ(0u, scoped.set("", "Mid", platform::kRegSz, std::string("ab\0cd", 5)));
  RegKey key(platform::localMachine(), scoped.path());
  ASSERT_TRUE(key.isOpen());
  std::vector<std::string> names;
  for (RegValue value : RegValueSequence(key)) names.push_back(value.Name());
  EXPECT_EQ(2u, names.size());

  RegValue unasked(key, "Ref");
  EXPECT_EQ("%VORNDTEST_X%", unasked.Text());
  RegValue asked(key, "Ref");
  EXPECT_EQ(platform::kRegExpandSz, asked.Type());
  EXPECT_EQ("expanded", asked.Text());
  EXPECT_EQ("ab", RegValue(key, "Mid").Text());
  EXPECT_EQ("", RegValue(key, "Absent").Text());
  EXPECT_EQ(platform::kRegNone, RegValue(key, "Absent").Type());
  platform::setEnvironmentVariable("VORNDTEST_X", std::nullopt);
}

}  // namespace
