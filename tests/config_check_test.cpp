// vornd -check: a sound instance, then one problem at a time, each the
// one exact line it must give and exit status 1.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "admin/command_dispatch.h"
#include "platform/files.h"
#include "platform/process.h"
#include "registry_fixture.h"
#include "temp_dir.h"

namespace {

using Values = std::vector<std::pair<std::string, std::string>>;

struct CheckRun {
  int exitCode;
  std::string out;
};

CheckRun runCheck(const std::string& name) {
  char program[] = "vornd";
  char word[] = "-check";
  std::string nameText = name;
  char* argv[] = {program, word, nameText.data(), nullptr};
  testing::internal::CaptureStdout();
  const int exitCode = runCommand(3, argv);
  return {exitCode, testing::internal::GetCapturedStdout()};
}

std::string lowered(std::string text) {
  platform::lowerCaseInPlace(text);
  return text;
}

class ConfigCheck : public ::testing::Test {
 protected:
  // Writes the sound values with the case's in their place (value names
  // compare without regard to case in the registry), then checks.
  CheckRun check(const Values& changed) {
    testing_support::ScopedRegistryKey service("SYSTEM\\CurrentControlSet\\Services\\" + m_name);
    Values values;
    for (const auto& value : sound()) {
      bool replaced = false;
      for (const auto& change : changed) replaced |= lowered(change.first) == lowered(value.first);
      if (!replaced) values.push_back(value);
    }
    values.insert(values.end(), changed.begin(), changed.end());
    for (const auto& [name, text] : values) {
      EXPECT_EQ(0u, service.setText("Config", name, text)) << name;
    }
    return runCheck(m_name);
  }

  Values sound() const {
    return {{"VornExecutable", "\"" + platform::moduleFileName() + "\" -quiet"},
            {"SockPort", "8061"},
            {"AuthenticationMethod", "Vorn"},
            {"LogCreate", "Yes"},
            {"LogAllEvents", "n"},
            {"SockTLS", "no"},
            {"SockListenAddress", "127.0.0.1, ::1"},
            {"ProxyProtocolFrom", "10.0.0.0/8 192.0.2.7"},
            {"StatusPageFrom", ""},
            {"MaxPendingLogins", "16"},
            {"TCPKeepIdle", "0600"},
            {"LoginFailureLimit", "0"},
            {"SourcePrefixIPv6", "+56"}};
  }

  std::string m_name = testing_support::uniqueName("check");
  testing_support::TemporaryDirectory m_dir;
};

TEST_F(ConfigCheck, ASoundInstanceGivesNothingAndEachProblemItsOwnLine) {
  const CheckRun clean = check({});
  EXPECT_EQ("", clean.out);
  EXPECT_EQ(0, clean.exitCode);

  const std::string folder = m_dir.path().string();
  const std::string absent = m_dir.file("absent");
  const struct {
    Values values;
    std::vector<std::string> lines;
  } cases[] = {
      // Names: the daemon reads them in their exact letter case.
      {{{"LoginFailureLimt", "3"}},
       {"LoginFailureLimt is not a setting vornd knows; did you mean LoginFailureLimit?"}},
      {{{"sockport", "8061"}}, {"sockport is not a setting vornd knows; did you mean SockPort?"}},
      {{{"DebugServce", ""}}, {"DebugServce is not a setting vornd knows; did you mean DebugService?"}},
      {{{"Colour", "blue"}}, {"Colour is not a setting vornd knows"}},
      // Numbers read as far as atol gets.
      {{{"SockPort", "8O61"}}, {"SockPort \"8O61\" is read as 8"}},
      {{{"SockListenTimeout", " 12"}}, {"SockListenTimeout \" 12\" is read as 12"}},
      {{{"MaxPendingRecords", "12x"}}, {"MaxPendingRecords \"12x\" is read as 12"}},
      {{{"LogMaxSize", "99999999999"}}, {"LogMaxSize \"99999999999\" is read as 2147483647"}},
      {{{"TCPKeepCount", ""}},
       {"TCPKeepCount \"\" is read as 0", "TCPKeepCount 0 is below 1: vornd uses 8"}},
      // The port: its low 16 bits.
      {{{"SockPort", "70000"}}, {"SockPort 70000 is outside 1-65535: vornd listens on port 4464"}},
      {{{"SockPort", "-1"}}, {"SockPort -1 is outside 1-65535: vornd listens on port 65535"}},
      {{{"SockPort", "65536"}}, {"SockPort 65536 is outside 1-65535: vornd listens on no port"}},
      // Numbers the daemon replaces by its defaults.
      {{{"SourcePrefixIPv6", "200"}}, {"SourcePrefixIPv6 200 is above 128: vornd uses 128"}},
      {{{"MaxPendingPerSource", "0"}}, {"MaxPendingPerSource 0 is below 1: vornd uses 8"}},
      {{{"LoginFailureLimit", "-5"}}, {"LoginFailureLimit -5 is below 0: vornd uses 10"}},
      // Truth values: an upper-case Y alone is yes.
      {{{"LogCreate", "yes"}}, {"LogCreate \"yes\" is read as No"}},
      {{{"IncludeSystemEnv", "Yup"}}, {"IncludeSystemEnv \"Yup\" is read as Yes"}},
      // Words and lists.
      {{{"AuthenticationMethod", "logonuser"}},
       {"AuthenticationMethod \"logonuser\" is none of LogonUser, Vorn and HTPassword: vornd "
        "checks passwords, but starts engines under its own account"}},
      {{{"SockListenAddress", "10.0.0.300"}},
       {"SockListenAddress \"10.0.0.300\": \"10.0.0.300\" is not an address; vornd listens on "
        "nothing"}},
      {{{"SockListenAddress", " , "}},
       {"SockListenAddress \" , \": no address; vornd listens on nothing"}},
      {{{"ProxyProtocolFrom", "10.0.0.0/33"}},
       {"ProxyProtocolFrom \"10.0.0.0/33\": \"10.0.0.0/33\" is not an address or prefix; vornd "
        "listens on nothing"}},
      {{{"StatusPageFrom", "127.0.0.1 localhost"}},
       {"StatusPageFrom \"127.0.0.1 localhost\": \"localhost\" is not an address or prefix; "
        "vornd listens on nothing"}},
      {{{"SockTLS", "Yes"}},
       {"SockTLS \"Yes\" is none of No, Optional and Required: vornd serves nothing"}},
      // The engine, its first word found as a launch finds it.
      {{{"VornExecutable", ""}}, {"VornExecutable is empty: no engine can start"}},
      {{{"VornExecutable", "\"" + absent + "\" -x"}},
       {"VornExecutable \"" + absent + "\" does not exist"}},
      {{{"VornExecutable", folder}}, {"VornExecutable \"" + folder + "\" is not executable"}},
      {{{"VornExecutable", "no-such-engine-anywhere"}},
       {"VornExecutable \"no-such-engine-anywhere\" is in no folder of the search path"}},
      // Several problems: each value's own first, then those of the values
      // together.
      {{{"SockPort", "0"}, {"LogCreate", "1"}},
       {"LogCreate \"1\" is read as No", "SockPort 0 is outside 1-65535: vornd listens on no port"}},
  };
  for (const auto& c : cases) {
    std::string expected;
    for (const std::string& line : c.lines) expected += line + "\n";
    const CheckRun run = check(c.values);
    EXPECT_EQ(expected, run.out) << c.values.front().first;
    EXPECT_EQ(1, run.exitCode) << c.values.front().first;
  }
}

TEST_F(ConfigCheck, AnInstanceWithoutSettingsOrNameIsSaidInOneLine) {
  CheckRun run = runCheck(m_name);
  EXPECT_EQ(m_name + " has no settings: there is no key SYSTEM\\CurrentControlSet\\Services\\" +
                m_name + "\\Config\n",
            run.out);
  EXPECT_EQ(1, run.exitCode);

  run = runCheck("-name=x");
  EXPECT_EQ("-check takes the name of an instance, as in\n  vornd -check serviceName\n", run.out);
  EXPECT_EQ(1, run.exitCode);
}

}  // namespace
