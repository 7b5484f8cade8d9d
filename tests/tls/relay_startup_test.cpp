#include <pwd.h>

#include <cerrno>
#include <cstring>

#include "tls_fixture.h"

namespace tls_testing {
namespace {

// Which file each option names, by role; the error must name the culprit.
enum class File { kServerCert, kServerKey, kStrayKey, kCaCert, kMissing, kGarbage, kNone };

struct StartupCase {
  const char* name;
  File cert, key, clientCa;
  File culprit;
  enum Reason { kAny, kNoSuchFile, kMismatch } reason;
};

// Test names show the case, not its bytes.
void PrintTo(const StartupCase& c, std::ostream* out) { *out << c.name; }

// The system's or the library's own words for the reason.
std::string expectedReason(StartupCase::Reason reason) {
  if (reason == StartupCase::kNoSuchFile) return std::strerror(ENOENT);
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  return ERR_reason_error_string(ERR_PACK(ERR_LIB_X509, 0, X509_R_KEY_VALUES_MISMATCH));
}

class TlsStartup : public ::testing::TestWithParam<StartupCase> {
 protected:
  std::string path(File file) {
    const TestPki& pki = testPki();
    switch (file) {
      case File::kServerCert: return pki.serverCert;
      case File::kServerKey: return pki.serverKey;
      case File::kStrayKey: return pki.strayKey;
      case File::kCaCert: return pki.caCert;
      case File::kMissing: return pki.dir + "/absent.pem";
      case File::kGarbage: {
        const std::string garbage = pki.dir + "/garbage.pem";
        std::ofstream(garbage) << "-----BEGIN CERTIFICATE-----\nnot base64 at all\n";
        return garbage;
      }
      case File::kNone: break;
    }
    return std::string();
  }
};

TEST_P(TlsStartup, UnusableFileIsNamedOnceAndExitsOne) {
  const StartupCase& c = GetParam();
  std::vector<std::string> arguments{"--cert", path(c.cert), "--key", path(c.key),
                                     "--handshake-seconds", "5"};
  if (c.clientCa != File::kNone) {
    arguments.push_back("--client-ca");
    arguments.push_back(path(c.clientCa));
  }
  RelayMaster master(arguments);
  const std::optional<std::string> message = master.receive();
  ASSERT_TRUE(message);
  const std::string prefix = "error " + path(c.culprit) + ": ";
  ASSERT_EQ(message->rfind(prefix, 0), 0u) << *message;
  if (c.reason != StartupCase::kAny) {
    EXPECT_EQ(message->substr(prefix.size()), expectedReason(c.reason));
  } else {
    EXPECT_GT(message->size(), prefix.size()) << *message;
  }
  EXPECT_EQ(master.receive(), std::nullopt) << "a second message";
  EXPECT_EQ(master.waitExit(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Files, TlsStartup,
    ::testing::Values(
        StartupCase{"MissingCert", File::kMissing, File::kServerKey, File::kNone, File::kMissing,
                    StartupCase::kNoSuchFile},
        StartupCase{"UnparsableCert", File::kGarbage, File::kServerKey, File::kNone,
                    File::kGarbage, StartupCase::kAny},
        StartupCase{"MissingKey", File::kServerCert, File::kMissing, File::kNone, File::kMissing,
                    StartupCase::kNoSuchFile},
        StartupCase{"UnparsableKey", File::kServerCert, File::kGarbage, File::kNone,
                    File::kGarbage, StartupCase::kAny},
        StartupCase{"MismatchedKey", File::kServerCert, File::kStrayKey, File::kNone,
                    File::kStrayKey, StartupCase::kMismatch},
        StartupCase{"MissingClientCa", File::kServerCert, File::kServerKey, File::kMissing,
                    File::kMissing, StartupCase::kNoSuchFile},
        StartupCase{"UnparsableClientCa", File::kServerCert, File::kServerKey, File::kGarbage,
                    File::kGarbage, StartupCase::kAny}),
    [](const ::testing::TestParamInfo<StartupCase>& info) { return info.param.name; });

TEST(TlsStartupGood, ReadyAndNoLongerRoot) {
  RelayMaster master(relayArguments(5, true));
  std::optional<std::string> message = master.receive();
  ASSERT_TRUE(message);
  if (::geteuid() == 0 && ::getpwnam("vornd-tls") == nullptr) {
    EXPECT_EQ(*message, "warning no account vornd-tls: the TLS relay runs as nobody");
    message = master.receive();
    ASSERT_TRUE(message);
  }
  EXPECT_EQ(*message, "ready");
  if (::geteuid() == 0) {
    // Real, effective, saved and file-system ids all given up.
    const std::string uids = processStatus(master.pid(), "Uid");
    ASSERT_FALSE(uids.empty());
    std::istringstream fields(uids);
    std::string uid;
    while (fields >> uid) EXPECT_NE(uid, "0") << uids;
    EXPECT_EQ(processStatus(master.pid(), "Groups"), "");
  }
  EXPECT_EQ(processStatus(master.pid(), "Name"), "vornd-tls-maste");
}

struct CommandLineCase {
  const char* name;
  std::vector<std::string> arguments;
};

// Test names show the case, not its bytes.
void PrintTo(const CommandLineCase& c, std::ostream* out) { *out << c.name; }

class TlsCommandLine : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(TlsCommandLine, RefusedWithExitTwo) {
  RelayMaster master(GetParam().arguments);
  const std::optional<std::string> message = master.receive();
  ASSERT_TRUE(message);
  EXPECT_EQ(message->rfind("error ", 0), 0u) << *message;
  EXPECT_EQ(master.waitExit(), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, TlsCommandLine,
    ::testing::Values(
        CommandLineCase{"NoKey", {"--cert", "c.pem", "--handshake-seconds", "5"}},
        CommandLineCase{"NoSeconds", {"--cert", "c.pem", "--key", "k.pem"}},
        CommandLineCase{"WordForSeconds",
                        {"--cert", "c.pem", "--key", "k.pem", "--handshake-seconds", "ten"}},
        CommandLineCase{"ZeroSeconds",
                        {"--cert", "c.pem", "--key", "k.pem", "--handshake-seconds", "0"}},
        CommandLineCase{"UnknownOption",
                        {"--cert", "c.pem", "--key", "k.pem", "--handshake-seconds", "5",
                         "--alpn", "x"}},
        CommandLineCase{"ValueMissing", {"--cert", "c.pem", "--key"}}),
    [](const ::testing::TestParamInfo<CommandLineCase>& info) { return info.param.name; });

}  // namespace
}  // namespace tls_testing
