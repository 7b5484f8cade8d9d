// The configuration check where it needs the POSIX side: TLS files as the
// relay loads them, through the real vornd -check, and the daemon's start
// writing its findings into events.log.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/posix/state_root.h"
#include "posix/run_program.h"
#include "posix/test_certificates.h"
#include "registry_fixture.h"
#include "serving_fixture.h"
#include "temp_dir.h"

namespace {

const std::string kVornd = std::string(VORND_BINARY_DIR) + "/vornd";
const std::string kEngine = std::string(VORND_BINARY_DIR) + "/vorn-echo-engine";

// What the relay says of its account, as root; it keeps the account it is
// started with otherwise.
std::vector<std::string> accountLines(const std::string& mode) {
  if (geteuid() != 0 || getpwnam("vornd-tls") != nullptr) return {};
  const std::string prefix = "SockTLS \"" + mode + "\": no account vornd-tls";
  if (getpwnam("nobody") == nullptr) return {prefix + " nor nobody to run the TLS relay as"};
  return {prefix + ": the TLS relay runs as nobody"};
}

// The lines, one by one, each as expected; one expected to end in ": "
// takes any reason after it: the library's words for a file it cannot
// parse differ from one version of it to the next.
bool sameLines(const std::vector<std::string>& expected, const std::string& out) {
  const std::vector<std::string> lines = testing_support::linesOf(out);
  if (lines.size() != expected.size()) return false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& want = expected[i];
    const bool anyReason = want.size() > 2 && want.compare(want.size() - 2, 2, ": ") == 0;
    if (anyReason ? lines[i].size() <= want.size() || lines[i].rfind(want, 0) != 0
                  : lines[i] != want) {
      return false;
    }
  }
  return true;
}

TEST(ConfigCheckTls, FilesAreLoadedAsTheRelayLoadsThemAndNamedWithTheirReason) {
  if (access((std::string(VORND_BINARY_DIR) + "/vornd-tls").c_str(), X_OK) != 0) {
    GTEST_SKIP() << "no TLS relay in this build";
  }
  const testing_support::Certificates& pki = testing_support::Certificates::get();
  ASSERT_TRUE(pki.ready());
  testing_support::TemporaryDirectory dir;
  const std::string absent = dir.file("absent.pem");
  const std::string prose = dir.file("prose.pem");
  testing_support::writeFile(prose, "not a certificate\n");
  const std::string cert = pki.file("local.pem");
  const std::string key = pki.file("local.key");
  const struct {
    std::string mode, cert, key, clientCa;
    std::vector<std::string> lines;
  } cases[] = {
      {"Required", cert, key, pki.file("ca.pem"), {}},
      {"Optional", "", key, "",
       {"TLSCertificateFile is empty, but SockTLS is Optional: vornd serves nothing"}},
      {"required", cert, "", "",
       {"TLSKeyFile is empty, but SockTLS is required: vornd serves nothing"}},
      {"Required", absent, key, "",
       {"TLSCertificateFile \"" + absent + "\" does not load: No such file or directory"}},
      {"Required", dir.path().string(), key, "",
       {"TLSCertificateFile \"" + dir.path().string() + "\" does not load: Is a directory"}},
      {"Required", prose, key, "",
       {"TLSCertificateFile \"" + prose + "\" does not load: "}},
      {"Required", cert, pki.file("elsewhere.key"), "",
       {"TLSKeyFile \"" + pki.file("elsewhere.key") + "\" does not load: key values mismatch"}},
      {"Required", cert, key, absent,
       {"TLSClientCAFile \"" + absent + "\" does not load: No such file or directory"}},
      {"Required", absent, prose, prose,
       {"TLSCertificateFile \"" + absent + "\" does not load: No such file or directory",
        "TLSKeyFile \"" + prose + "\" does not load: ",
        "TLSClientCAFile \"" + prose + "\" does not load: "}},
  };
  for (const auto& c : cases) {
    testing_support::ScopedRegistryKey service("SYSTEM\\CurrentControlSet\\Services\\tlscheck");
    const std::pair<const char*, std::string> values[] = {
        {"VornExecutable", kEngine}, {"SockTLS", c.mode},         {"TLSCertificateFile", c.cert},
        {"TLSKeyFile", c.key},       {"TLSClientCAFile", c.clientCa}};
    for (const auto& [name, text] : values) ASSERT_EQ(0u, service.setText("Config", name, text));
    std::vector<std::string> lines = c.lines;
    for (const std::string& line : accountLines(c.mode)) lines.push_back(line);
    const testing_support::Outcome outcome = testing_support::runProgram(kVornd, {"-check", "tlscheck"});
    EXPECT_TRUE(sameLines(lines, outcome.out))
        << outcome.out << "expected:\n" << testing::PrintToString(lines);
    EXPECT_EQ(lines.empty() ? 0 : 1, outcome.exitCode) << outcome.out;
  }
}

class ConfigCheckAtStart : public testing_support::ServingFixture {
 protected:
  // The text of each warning entry of this instance in events.log.
  std::vector<std::string> warnings() const {
    std::vector<std::string> found;
    const std::string marker = " " + m_name + " WARNING ";
    const std::string events =
        testing_support::readFile(platform::posix::stateFile("log/events.log"));
    for (const std::string& line : testing_support::linesOf(events)) {
      const std::size_t at = line.find(marker);
      if (at != std::string::npos) found.push_back(line.substr(at + marker.size()));
    }
    return found;
  }
};

TEST_F(ConfigCheckAtStart, TheFindingsAreWarningsInTheEventLogAndTheDaemonServesOn) {
  config("LoginFailureLimt", "3");
  config("MaxPendingLogins", "0");
  start();
  EXPECT_NE(std::string::npos, page().find("<H1>" + m_name + "</H1>"));
  const std::vector<std::string> expected = {
      "LoginFailureLimt is not a setting vornd knows; did you mean LoginFailureLimit?",
      "MaxPendingLogins 0 is below 1: vornd uses 64"};
  EXPECT_EQ(expected, warnings());
}

// The relay's account is said once, by the relay as it starts, not a
// second time by the check before it.
TEST_F(ConfigCheckAtStart, TheRelaysAccountIsOneWarning) {
  if (access((std::string(VORND_BINARY_DIR) + "/vornd-tls").c_str(), X_OK) != 0) {
    GTEST_SKIP() << "no TLS relay in this build";
  }
  const testing_support::Certificates& pki = testing_support::Certificates::get();
  ASSERT_TRUE(pki.ready());
  config("SockTLS", "Optional");
  config("TLSCertificateFile", pki.file("local.pem"));
  config("TLSKeyFile", pki.file("local.key"));
  start();
  EXPECT_NE(std::string::npos, page().find("<H1>" + m_name + "</H1>"));
  std::vector<std::string> expected;
  const std::string prefix = "SockTLS \"Optional\": ";
  for (const std::string& line : accountLines("Optional")) {
    expected.push_back("TLS relay: " + line.substr(prefix.size()));
  }
  EXPECT_EQ(expected, warnings());
}

}  // namespace
