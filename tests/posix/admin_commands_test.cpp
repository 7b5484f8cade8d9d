// The administration commands of the real vornd executable, each test in a
// state root of its own: services it installs run for real under the
// platform's service manager and are deleted again at the end.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "daemon/registry_access.h"
#include "platform/net.h"
#include "platform/service_manager.h"
#include "platform/environment.h"
#include "platform/posix/service_control_channel.h"
#include "platform/posix/state_root.h"
#include "posix/run_program.h"
#include "free_port.h"
#include "posix/stopped_process.h"
#include "posix/test_certificates.h"
#include "posix/throwaway_account.h"
#include "session/net_login.h"
#include "temp_dir.h"

namespace {

using testing_support::Outcome;

const std::string kVornd = std::string(VORND_BINARY_DIR) + "/vornd";
const std::string kEngine = std::string(VORND_BINARY_DIR) + "/vorn-echo-engine";
const std::string kServices = "SYSTEM\\CurrentControlSet\\Services\\";
const std::string kAutoStart = " will start automatically each time you boot your system\n";

std::map<std::string, std::string> values(const std::string& path) {
  std::map<std::string, std::string> found;
  RegKey key(platform::localMachine(), path);
  for (RegValue value : RegValueSequence(key)) found[value.Name()] = value.Text();
  return found;
}

bool keyExists(const std::string& path) {
  return RegKey(platform::localMachine(), path).isOpen();
}

std::uint16_t freePort() { return testing_support::freePort(); }

// Everything the daemon on the port says to these bytes, "" when no
// daemon listens there within the limit.
std::string talk(std::uint16_t port, const std::string& bytes) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    const platform::SocketHandle socket = platform::createTcpSocket();
    platform::Ipv4Endpoint remote;
    remote.address = platform::kLoopbackAddress;
    remote.port = port;
    if (platform::connectSocket(socket, remote)) {
      platform::sendSocket(socket, bytes.data(), static_cast<int>(bytes.size()));
      platform::shutdownSend(socket);
      std::string reply;
      char buffer[4096];
      while (platform::waitUntilReadable(socket, 10000) == 1) {
        const int got = platform::receiveSocket(socket, buffer, sizeof buffer);
        if (got <= 0) break;
        reply.append(buffer, static_cast<std::size_t>(got));
      }
      platform::closeSocket(socket);
      return reply;
    }
    platform::closeSocket(socket);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return "";
}

// The process that listens on a service's control socket, 0 when none.
pid_t servicePid(const std::string& name) {
  const std::string path = platform::posix::stateFile("run/" + name + ".ctl");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return 0;
  path.copy(address.sun_path, path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ucred peer{};
  socklen_t length = sizeof peer;
  const bool known =
      connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0;
  close(fd);
  return known ? peer.pid : 0;
}

// Continues a stopped process however the test ends.
struct Continuer {
  pid_t pid;
  ~Continuer() { kill(pid, SIGCONT); }
};

std::string loginRecord(const std::string& user) {
  std::string bytes(netLogin::kSize, '\0');
  bytes.replace(0, user.size(), user);
  return bytes;
}

class AdminCommands : public ::testing::Test {
 protected:
  AdminCommands() { platform::startSockets(); }
  ~AdminCommands() override {
    // Every service of this root goes, running or not.
    platform::ScHandle manager = platform::openSCManager(platform::kScManagerAllAccess);
    RegKey services(platform::localMachine(), "SYSTEM\\CurrentControlSet\\Services");
    std::vector<std::string> names;
    for (std::uint32_t i = 0;; ++i) {
      std::string name;
      if (!services.isOpen() || platform::regEnumKey(services.handle(), i, name) != 0) break;
      names.push_back(name);
    }
    for (const std::string& name : names) {
      if (platform::ScHandle service =
              platform::openService(manager, name, platform::kServiceAllAccess)) {
        platform::deleteService(service);
        stopAndWait(service);
        platform::closeServiceHandle(service);
      }
    }
    if (manager != nullptr) platform::closeServiceHandle(manager);
    platform::cleanupSockets();
  }

  // A service still starting refuses a stop (1061): ask again until it
  // takes one, or a test that ends right after an install leaves its
  // daemon running.
  static void stopAndWait(platform::ScHandle service) {
    for (int i = 0; i < 300; ++i) {
      platform::ServiceStatus status;
      if (!platform::queryServiceStatus(service, status) ||
          status.currentState == platform::kServiceStopped) {
        return;
      }
      if (status.currentState != platform::kServiceStopPending) {
        platform::controlService(service, platform::kControlStop, status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }


  // The state of an installed service, 0 when it cannot be asked.
  static std::uint32_t stateOf(const std::string& name) {
    platform::ScHandle manager = platform::openSCManager(platform::kScManagerAllAccess);
    platform::ScHandle service = platform::openService(manager, name, platform::kServiceAllAccess);
    platform::ServiceStatus status;
    const bool known = service != nullptr && platform::queryServiceStatus(service, status);
    if (service != nullptr) platform::closeServiceHandle(service);
    if (manager != nullptr) platform::closeServiceHandle(manager);
    return known ? status.currentState : 0;
  }

  static bool reaches(const std::string& name, std::uint32_t state) {
    for (int i = 0; i < 300; ++i) {
      if (stateOf(name) == state) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  Outcome vornd(const std::vector<std::string>& args, const std::string& folder = "") {
    return testing_support::runProgram(kVornd, args, "", folder, 60000);
  }

  // Installs a Vorn instance with the sample engine on a port of its own.
  std::uint16_t installServing(const std::string& name, const std::vector<std::string>& more = {}) {
    const std::uint16_t port = freePort();
    std::vector<std::string> args = {"-install", "-name=" + name, "-port=" + std::to_string(port),
                                     "-engine=" + kEngine, "-AM=Vorn"};
    args.insert(args.end(), more.begin(), more.end());
    const Outcome outcome = vornd(args);
    EXPECT_EQ(0, outcome.exitCode) << outcome.out;
    return port;
  }

  testing_support::ScopedStateRoot m_root;
  testing_support::TemporaryDirectory m_dir;
};

TEST_F(AdminCommands, AFirstInstallCreatesStartsAndServesAndASecondOneOnlyRewrites) {
  const std::uint16_t port = freePort();
  const std::string portText = std::to_string(port);
  Outcome outcome = vornd({"-install", "-name=alpha", "-port=" + portText, "-engine=" + kEngine,
                           "-AM=Vorn", "-log", "FOO=bar", "EMPTY=", "TWICE=a", "TWICE=b", "=x"});
  EXPECT_EQ("\nalpha Created\nalpha Configured\n\nalpha Started\nalpha" + kAutoStart, outcome.out);
  EXPECT_EQ(0, outcome.exitCode);

  // The running service: its page, and a login that reaches the engine.
  EXPECT_NE(std::string::npos, talk(port, "GET / HTTP/1.0\r\n\r\n").find("<H1>alpha</H1>"));
  EXPECT_EQ(std::string("\x00\x01", 2) + "hello, ann\n", talk(port, loginRecord("ann")));

  const std::map<std::string, std::string> config = {
      {"VornExecutable", kEngine}, {"SockPort", portText},
      {"AuthenticationMethod", "Vorn"}, {"LogCreate", "Yes"}};
  EXPECT_EQ(config, values(kServices + "alpha\\Config"));
  const std::map<std::string, std::string> environment = {
      {"", "x"}, {"EMPTY", ""}, {"FOO", "bar"}, {"TWICE", "b"}};
  EXPECT_EQ(environment, values(kServices + "alpha\\Environment"));
  EXPECT_EQ("alpha-" + portText, values("SOFTWARE\\Vornware\\Services")["alpha"]);
  EXPECT_EQ(kVornd + " -runService", values(kServices + "alpha")["ImagePath"]);

  outcome = vornd({"-install", "-name=alpha", "-port=" + portText, "-engine=" + kEngine,
                   "-am=LogonUser", "NEW=1"});
  EXPECT_EQ("alpha Configured\nalpha" + kAutoStart, outcome.out);
  EXPECT_EQ(0, outcome.exitCode);
  EXPECT_EQ("LogonUser", values(kServices + "alpha\\Config")["AuthenticationMethod"]);
  EXPECT_EQ("Yes", values(kServices + "alpha\\Config")["LogCreate"]);  // not given: kept
  EXPECT_EQ("bar", values(kServices + "alpha\\Environment")["FOO"]);
  EXPECT_EQ("1", values(kServices + "alpha\\Environment")["NEW"]);

  outcome = vornd({"-status"});
  EXPECT_EQ("Service Name: alpha\nDisplay Name: alpha-" + portText + "\nStatus:       running\n\n",
            outcome.out);
  EXPECT_EQ(0, outcome.exitCode);
}

TEST_F(AdminCommands, RefusalsPrintTheirMessagesInOrderAndExitWithOne) {
  const std::string plain = m_dir.file("plain");
  std::ofstream(plain) << "data\n";
  struct Case {
    std::vector<std::string> args;
    std::string printed;
  } cases[] = {
      {{"-install", "-engine=" + kEngine, "abc"}, "Sorry, I don't know what to do with 'abc'\n"},
      {{"-install", "-engine=" + kEngine, "-AM=vorn"},
       "Authentication Method (-AM) must be 'Vorn' or 'LogonUser'\n"},
      {{"-install", "-engine=" + plain},
       "The engine name you provided does not seem to be an executable\n"},
      {{"-install", "-engine=" + m_dir.file("missing")},
       "The engine name you provided does not seem to be an executable\n"},
      // Several at once, each in its place; an engine given and good does
      // not undo a refusal.
      {{"-install", "word", "-AM=x", "-engine=" + plain},
       "Sorry, I don't know what to do with 'word'\n"
       "Authentication Method (-AM) must be 'Vorn' or 'LogonUser'\n"
       "The engine name you provided does not seem to be an executable\n"},
      {{"-remove", "alpha"}, "You must provide a service name (-name=service_name)\n"},
      {{"-remove", "-Name=alpha"}, "You must provide a service name (-name=service_name)\n"},
      {{"-modify"},
       "you must provide a service name if you want to modify environment variables\n"
       "A typical command line might look like this:\n"
       "  C:\\> " + kVornd + " -modify serivceName FOO=BAR I_LIKE=ICE_CREAM\n"},
  };
  for (const Case& c : cases) {
    const Outcome outcome = vornd(c.args);
    EXPECT_EQ(c.printed, outcome.out) << c.args.back();
    EXPECT_EQ(1, outcome.exitCode) << c.args.back();
  }
  // No engine given, and none where the search looks.
  const Outcome outcome = vornd({"-install"}, m_dir.path().string());
  EXPECT_EQ("You must provide an engine name (-engine=engine_name)\n", outcome.out);
  EXPECT_EQ(1, outcome.exitCode);
  EXPECT_FALSE(keyExists("SOFTWARE\\Vornware\\Services"));
  EXPECT_FALSE(keyExists(kServices + "vornd-8060"));
}

// Names and display names derived from what is given, the engine found by
// the search, and paths with blanks quoted.
TEST_F(AdminCommands, NamesEnginesAndQuotedPaths) {
  // The search looks in the parent of the current folder first.
  const std::filesystem::path work = m_dir.path() / "work";
  std::filesystem::create_directories(work);
  std::filesystem::copy_file(kEngine, m_dir.path() / "vorn");
  // The default port may be held by another program on this machine: then
  // the install says so and fails, its records written all the same.
  bool defaultPortTaken = false;
  {
    const platform::SocketHandle probe = platform::createTcpSocket();
    platform::setReuseAddress(probe, true);
    platform::Ipv4Endpoint local;
    local.port = 8060;
    defaultPortTaken = !platform::bindSocket(probe, local);
    platform::closeSocket(probe);
  }
  Outcome outcome = vornd({"-install"}, work.string());
  EXPECT_EQ(defaultPortTaken ? 1 : 0, outcome.exitCode) << outcome.out;
  EXPECT_EQ(defaultPortTaken, outcome.out.find("Port 8060 is in use") != std::string::npos)
      << outcome.out;
  EXPECT_EQ("vornd-8060", values("SOFTWARE\\Vornware\\Services")["vornd-8060"]);
  EXPECT_EQ((m_dir.path() / "vorn").string(), values(kServices + "vornd-8060\\Config")["VornExecutable"]);
  EXPECT_EQ("8060", values(kServices + "vornd-8060\\Config")["SockPort"]);

  const std::string blank = m_dir.file("with blank");
  std::filesystem::create_directories(blank);
  std::filesystem::copy_file(kEngine, blank + "/engine");
  std::filesystem::copy_file(kVornd, blank + "/vornd");
  outcome = testing_support::runProgram(
      blank + "/vornd", {"-install", "-displayName=Shown", "-port=" + std::to_string(freePort()),
                         "-engine=" + blank + "/engine"});
  EXPECT_EQ(0, outcome.exitCode) << outcome.out;
  EXPECT_EQ("Shown", values("SOFTWARE\\Vornware\\Services")["vornd"]);
  EXPECT_EQ("\"" + blank + "/engine\"", values(kServices + "vornd\\Config")["VornExecutable"]);
  EXPECT_EQ("\"" + blank + "/vornd\" -runService", values(kServices + "vornd")["ImagePath"]);
  EXPECT_TRUE(reaches("vornd", platform::kServiceRunning));  // the quoted path runs

  outcome = vornd({"-install", "-name=N", "-engine=" + kEngine, "-port=" + std::to_string(freePort())});
  EXPECT_EQ(0, outcome.exitCode) << outcome.out;
  EXPECT_EQ(0u, values("SOFTWARE\\Vornware\\Services")["N"].rfind("N-", 0));
}

// A port that is no whole number from 1 to 65535 stops the install before
// anything is written.
TEST_F(AdminCommands, ABadPortIsRefusedBeforeAnythingIsWritten) {
  for (const std::string value : {"abc", "", "0", "65536", "-1", "80x", " 80"}) {
    const Outcome outcome = vornd({"-install", "-name=badport", "-port=" + value,
                                   "-engine=" + kEngine, "-AM=Vorn", "FOO=bar"});
    EXPECT_EQ("Invalid port \"" + value + "\": a whole number from 1 to 65535 is required\n",
              outcome.out);
    EXPECT_EQ(1, outcome.exitCode) << value;
    EXPECT_FALSE(testing_support::fileExists(m_root.path() + "/registry"))
        << '"' << value << "\" wrote the registry";
  }
  EXPECT_FALSE(keyExists(kServices + "badport"));
  EXPECT_FALSE(keyExists("SOFTWARE\\Vornware\\Services"));
}

// A relative engine path means the file it names from the admin's folder;
// the service runs from another, so the full path is stored.
TEST_F(AdminCommands, ARelativeEnginePathIsStoredFullAndNormalised) {
  const std::filesystem::path base = std::filesystem::canonical(m_dir.path());
  const std::filesystem::path bin = base / "tree" / "bin";
  const std::filesystem::path work = base / "work";
  std::filesystem::create_directories(bin);
  std::filesystem::create_directories(work / "sub");
  std::filesystem::copy_file(kEngine, bin / "engine");

  const std::uint16_t port = freePort();
  Outcome outcome = vornd({"-install", "-name=rel", "-port=" + std::to_string(port),
                           "-engine=sub/..//../tree/./bin//engine", "-AM=Vorn"},
                          work.string());
  EXPECT_EQ(0, outcome.exitCode) << outcome.out;
  EXPECT_EQ((bin / "engine").string(), values(kServices + "rel\\Config")["VornExecutable"]);
  EXPECT_EQ(std::string("\x00\x01", 2) + "hello, ann\n", talk(port, loginRecord("ann")));

  // A bare file name is one in the current folder.
  outcome = vornd({"-install", "-name=bare", "-port=" + std::to_string(freePort()),
                   "-engine=engine"},
                  bin.string());
  EXPECT_EQ(0, outcome.exitCode) << outcome.out;
  EXPECT_EQ((bin / "engine").string(), values(kServices + "bare\\Config")["VornExecutable"]);
}

// TLS as the install sets it: files stored by their full paths, a mode
// the daemon serves by, a later install without -tls keeping it, and
// -tls=no taking it away.
TEST_F(AdminCommands, TlsOptionsAreStoredFullAndServedBy) {
  if (access((std::string(VORND_BINARY_DIR) + "/vornd-tls").c_str(), X_OK) != 0) {
    GTEST_SKIP() << "no TLS relay in this build";
  }
  const testing_support::Certificates& certificates = testing_support::Certificates::get();
  ASSERT_TRUE(certificates.ready());
  const std::filesystem::path base = std::filesystem::canonical(m_dir.path());
  std::filesystem::create_directories(base / "work" / "tls");
  std::filesystem::copy_file(certificates.file("local.pem"), base / "work" / "tls" / "cert.pem");
  std::filesystem::copy_file(certificates.file("local.key"), base / "work" / "tls" / "key.pem");

  const std::uint16_t port = freePort();
  const std::vector<std::string> install = {"-install", "-name=secure",
                                            "-port=" + std::to_string(port),
                                            "-engine=" + kEngine, "-AM=Vorn"};
  auto with = [&install](std::vector<std::string> more) {
    more.insert(more.begin(), install.begin(), install.end());
    return more;
  };
  Outcome outcome =
      vornd(with({"-tls=required", "-cert=tls/cert.pem", "-key=./tls/../tls/key.pem"}),
            (base / "work").string());
  EXPECT_EQ(0, outcome.exitCode) << outcome.out;
  const std::string configKey = kServices + "secure\\Config";
  std::map<std::string, std::string> config = values(configKey);
  EXPECT_EQ("Required", config["SockTLS"]);
  EXPECT_EQ((base / "work" / "tls" / "cert.pem").string(), config["TLSCertificateFile"]);
  EXPECT_EQ((base / "work" / "tls" / "key.pem").string(), config["TLSKeyFile"]);
  // Served by: a clear login is refused.
  EXPECT_EQ(std::string("\x00\x00", 2), talk(port, loginRecord("ann")).substr(0, 2));

  outcome = vornd(install);
  EXPECT_EQ(0, outcome.exitCode) << outcome.out;
  EXPECT_EQ("Required", values(configKey)["SockTLS"]);

  outcome = vornd(with({"-tls=no"}));
  EXPECT_EQ(0, outcome.exitCode) << outcome.out;
  config = values(configKey);
  EXPECT_EQ(0u, config.count("SockTLS"));
  EXPECT_EQ(1u, config.count("TLSCertificateFile"));
  ASSERT_EQ(0, vornd({"-stop", "secure"}).exitCode);
  ASSERT_TRUE(reaches("secure", platform::kServiceStopped));
  ASSERT_EQ(0, vornd({"-start", "secure"}).exitCode);
  EXPECT_EQ(std::string("\x00\x01", 2) + "hello, ann\n", talk(port, loginRecord("ann")));
}

// A TLS option the daemon could not serve by stops the install before
// anything is written; the system's reason names what is wrong.
TEST_F(AdminCommands, TlsRefusalsWriteNothing) {
  const std::string cert = m_dir.file("cert.pem");
  std::ofstream(cert) << "certificate\n";
  const std::string folder = m_dir.path().string();
  const struct {
    std::vector<std::string> words;
    std::string printed;
  } cases[] = {
      {{"-tls=yes", "-cert=" + cert, "-key=" + cert},
       "TLS (-tls) must be 'no', 'optional' or 'required'\n"},
      {{"-tls=required", "-cert=" + folder, "-key=" + cert},
       "The certificate file '" + folder + "' cannot be read: Is a directory\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"-install", "-name=badtls", "-engine=" + kEngine, "FOO=bar"};
    args.insert(args.end(), c.words.begin(), c.words.end());
    const Outcome outcome = vornd(args);
    EXPECT_EQ(c.printed, outcome.out);
    EXPECT_EQ(1, outcome.exitCode) << c.printed;
    EXPECT_FALSE(testing_support::fileExists(m_root.path() + "/registry")) << c.printed;
  }
}

TEST_F(AdminCommands, StartStopRestartStatusAndRemove) {
  installServing("one");
  installServing("two");
  ASSERT_TRUE(reaches("one", platform::kServiceRunning));
  ASSERT_TRUE(reaches("two", platform::kServiceRunning));

  // One name: that service; none, or two: every listed one.
  Outcome outcome = vornd({"-stop", "one"});
  EXPECT_EQ("Service: one stop requested\n", outcome.out);
  EXPECT_TRUE(reaches("one", platform::kServiceStopped));
  EXPECT_EQ(platform::kServiceRunning, stateOf("two"));
  outcome = vornd({"-stop", "one", "two"});
  EXPECT_EQ("Service: one stop requested\nService: two stop requested\n", outcome.out);
  EXPECT_EQ(0, outcome.exitCode);
  EXPECT_TRUE(reaches("two", platform::kServiceStopped));
  outcome = vornd({"-start"});
  EXPECT_EQ("Service: one start requested\nService: two start requested\n", outcome.out);
  EXPECT_TRUE(reaches("one", platform::kServiceRunning));

  // A refused start is reported and still "requested".
  outcome = vornd({"-start", "one"});
  EXPECT_EQ(0u, outcome.out.find("Service: one StartService failed: "));
  EXPECT_EQ("start requested\n", outcome.out.substr(outcome.out.size() - 16));
  EXPECT_EQ(1, outcome.exitCode);

  // A restart starts what it stopped.
  outcome = vornd({"-restart", "one"});
  EXPECT_EQ("Service: one stop requested\nService: one start requested\n", outcome.out);
  EXPECT_EQ(0, outcome.exitCode);
  EXPECT_TRUE(reaches("one", platform::kServiceRunning));

  outcome = vornd({"-remove", "-name=one"});
  EXPECT_EQ("one stopped\none removed\n", outcome.out);
  EXPECT_EQ(0, outcome.exitCode);
  EXPECT_FALSE(values("SOFTWARE\\Vornware\\Services").count("one"));
  for (int i = 0; i < 200 && keyExists(kServices + "one"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_FALSE(keyExists(kServices + "one"));  // its keys go once it has stopped

  // A listed name that is no longer installed: reported, entry kept.
  platform::RegKeyHandle list = nullptr;
  ASSERT_EQ(0u, platform::regCreateKey(platform::localMachine(), "SOFTWARE\\Vornware\\Services", list));
  ASSERT_EQ(0u, platform::regSetValue(list, "ghost", platform::kRegExpandSz, "Ghost", 6));
  platform::regCloseKey(list);
  const std::string missing = "OpenService failed: The specified service does not exist as an "
                              "installed service.\n\n";
  outcome = vornd({"-remove", "-name=ghost"});
  EXPECT_EQ(missing, outcome.out);
  EXPECT_EQ(1, outcome.exitCode);
  EXPECT_TRUE(values("SOFTWARE\\Vornware\\Services").count("ghost"));
  outcome = vornd({"-status"});
  EXPECT_EQ("Service Name: two\nDisplay Name: two-" + values(kServices + "two\\Config")["SockPort"] +
                "\nStatus:       running\n\nService Name: ghost\nDisplay Name: Ghost\nStatus:       " +
                missing + "\n\n",
            outcome.out);
}

// Clients that connect and say nothing; a pause or a stop closes them at
// once, without a reply.
TEST_F(AdminCommands, PauseAndStopOfAnInstalledServiceCloseSilentClientsAtOnce) {
  const std::uint16_t port = installServing("hush");
  ASSERT_TRUE(reaches("hush", platform::kServiceRunning));
  ASSERT_EQ(std::string("\x00\x01", 2) + "hello, ann\n", talk(port, loginRecord("ann")));
  auto connectSilent = [port] {
    std::vector<platform::SocketHandle> sockets;
    for (int i = 0; i < 6; ++i) {
      const platform::SocketHandle socket = platform::createTcpSocket();
      EXPECT_TRUE(platform::connectSocket(socket, {platform::kLoopbackAddress, port}));
      sockets.push_back(socket);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return sockets;
  };
  // Each ends with nothing said within a second (their own bound is 5 s).
  auto endedUnanswered = [](const std::vector<platform::SocketHandle>& sockets) {
    for (const platform::SocketHandle socket : sockets) {
      char byte;
      EXPECT_EQ(1, platform::waitUntilReadable(socket, 1000));
      EXPECT_EQ(0, platform::receiveSocket(socket, &byte, 1));
      platform::closeSocket(socket);
    }
  };

  platform::ScHandle manager = platform::openSCManager(platform::kScManagerAllAccess);
  platform::ScHandle service = platform::openService(manager, "hush", platform::kServiceAllAccess);
  ASSERT_NE(service, nullptr);
  std::vector<platform::SocketHandle> pending = connectSilent();
  platform::ServiceStatus status;
  EXPECT_TRUE(platform::controlService(service, platform::kControlPause, status));
  EXPECT_TRUE(reaches("hush", platform::kServicePaused));
  endedUnanswered(pending);
  EXPECT_TRUE(platform::controlService(service, platform::kControlContinue, status));
  EXPECT_TRUE(reaches("hush", platform::kServiceRunning));
  platform::closeServiceHandle(service);
  platform::closeServiceHandle(manager);

  pending = connectSilent();
  const auto stopping = std::chrono::steady_clock::now();
  EXPECT_EQ("Service: hush stop requested\n", vornd({"-stop", "hush"}).out);
  EXPECT_TRUE(reaches("hush", platform::kServiceStopped));
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(2));
  endedUnanswered(pending);
}

TEST_F(AdminCommands, ModifySetsAndDeletesThenRestartsTheNamedServiceOnly) {
  const std::uint16_t port = installServing("mod", {"OLD=1"});
  installServing("other");
  ASSERT_TRUE(reaches("mod", platform::kServiceRunning));
  ASSERT_TRUE(reaches("other", platform::kServiceRunning));
  vornd({"-stop", "other"});
  ASSERT_TRUE(reaches("other", platform::kServiceStopped));

  Outcome outcome = vornd({"-modify", "mod", "OLD=", "A=b=c", "-port=1", "FOO", "GONE="});
  EXPECT_EQ("\nSorry, you can only modify environment variables with this sad\n"
            "excuse for a program, changing configuration information just\n"
            "ain't my bag baby, ignoring -port=1\n"
            "Sorry, I don't know what to do with 'FOO'\n"
            "Service: mod stop requested\nService: mod start requested\n",
            outcome.out);
  EXPECT_EQ(1, outcome.exitCode);  // it printed refusals
  const std::map<std::string, std::string> environment = {{"A", "b=c"}};
  EXPECT_EQ(environment, values(kServices + "mod\\Environment"));
  EXPECT_TRUE(reaches("mod", platform::kServiceRunning));
  EXPECT_EQ(platform::kServiceStopped, stateOf("other"));
  // The restarted daemon read the new list.
  EXPECT_NE(std::string::npos,
            talk(port, "GET / HTTP/1.0\r\n\r\n").find("<td class=\"tb\">A</td><td class=\"tb\">b=c<"));

  // A name that is not installed: the key is made, the restart reports.
  outcome = vornd({"-modify", "nosuch", "X=1"});
  EXPECT_EQ(1, outcome.exitCode);
  EXPECT_EQ(0u, outcome.out.find("Service: nosuch OpenService failed: "));
  EXPECT_EQ("1", values(kServices + "nosuch\\Environment")["X"]);
}

// The configuration check's findings follow what -install and -modify
// wrote, as advice: the exit status and the start are as without them, and
// the started daemon writes the same lines into the event log.
TEST_F(AdminCommands, InstallAndModifyPrintTheCheckFindingsAfterWriting) {
  {
    // Written to stay: the fixture finds the service to stop by its key.
    platform::RegKeyHandle key = nullptr;
    ASSERT_EQ(0u, platform::regCreateKey(platform::localMachine(), kServices + "advised\\Config", key));
    const std::string yes("Yes", 4);
    EXPECT_EQ(0u, platform::regSetValue(key, "LogCreat", platform::kRegSz, yes.data(), 4));
    platform::regCloseKey(key);
  }
  const std::string finding = "LogCreat is not a setting vornd knows; did you mean LogCreate?";
  Outcome outcome = vornd({"-install", "-name=advised", "-port=" + std::to_string(freePort()),
                           "-engine=" + kEngine, "-AM=Vorn"});
  EXPECT_EQ("\nadvised Created\nadvised Configured\n" + finding + "\n\nadvised Started\nadvised" +
                kAutoStart,
            outcome.out);
  EXPECT_EQ(0, outcome.exitCode);
  const std::string events = testing_support::readFile(m_root.path() + "/log/events.log");
  EXPECT_NE(std::string::npos, events.find(" advised WARNING " + finding + "\n")) << events;

  outcome = vornd({"-modify", "advised", "FOO=1"});
  EXPECT_EQ("Service: advised stop requested\nService: advised start requested\n" + finding + "\n",
            outcome.out);
  EXPECT_EQ(0, outcome.exitCode);
}

// A command word or a help word counts only as a whole argument: inside a
// value or a path it is just text.
TEST_F(AdminCommands, CommandWordsCountOnlyAsWholeArguments) {
  const std::filesystem::path home = m_dir.path() / "h";  // an engine path holding "/h"
  std::filesystem::create_directories(home);
  std::filesystem::copy_file(kEngine, home / "engine");
  const std::string usage = "\nUsage:\n\n" + kVornd + " -install <install-options>\n";
  struct Case {
    std::vector<std::string> args;
    std::string begins;
    int exitCode;
  } cases[] = {
      {{"-install", "-name=nonstop", "-engine=" + kEngine, "-port=" + std::to_string(freePort()),
        "MODE=non-stop"},
       "\nnonstop Created\nnonstop Configured\n", 0},
      {{"-Install", "-name=home", "-engine=" + (home / "engine").string(),
        "-port=" + std::to_string(freePort()), "-debug", "-logdir=" + home.string()},
       "\nhome Created\nhome Configured\n", 0},
      {{"-startup"}, usage, 0},
      {{"-installed"}, usage, 0},
      {{"-HELP"}, usage, 0},
      {{"-status", "--Help"}, usage, 0},
  };
  for (const Case& c : cases) {
    const Outcome outcome = vornd(c.args);
    EXPECT_EQ(0u, outcome.out.rfind(c.begins, 0)) << c.args[0] << ": " << outcome.out;
    EXPECT_EQ(c.exitCode, outcome.exitCode) << c.args[0];
  }
  EXPECT_EQ("non-stop", values(kServices + "nonstop\\Environment")["MODE"]);
  EXPECT_EQ(home.string(), values(kServices + "home\\Config")["LogServiceDir"]);
  EXPECT_EQ("Yes", values(kServices + "home\\Config")["LogAllEvents"]);
}

// Mistyped options, a -modify name given as an option, a log folder that is
// not there: each is refused by name, and the registry stays as it was.
TEST_F(AdminCommands, MistakesAreRefusedByNameAndWriteNothing) {
  platform::RegKeyHandle list = nullptr;
  ASSERT_EQ(0u, platform::regCreateKey(platform::localMachine(), "SOFTWARE\\Vornware\\Services",
                                       list));
  ASSERT_EQ(0u, platform::regSetValue(list, "kept", platform::kRegExpandSz, "Kept", 5));
  platform::regCloseKey(list);
  const std::string registry = m_root.path() + "/registry";
  const std::string before = testing_support::readFile(registry);
  const std::string missing = m_dir.file("no-such-folder");
  const std::vector<std::string> install = {"-install", "-name=typo", "-engine=" + kEngine};
  auto with = [&install](const std::string& word) {
    std::vector<std::string> args = install;
    args.push_back(word);
    return args;
  };
  struct Case {
    std::vector<std::string> args;
    std::string printed;
  } cases[] = {
      {with("-prot=8070"), "Unknown install option '-prot=8070'\n"},
      {with("-portt=9000"), "Unknown install option '-portt=9000'\n"},
      {with("-lgo"), "Unknown install option '-lgo'\n"},
      {with("-logs"), "Unknown install option '-logs'\n"},
      {with("-Name=demo"),
       "Unknown install option '-Name=demo' (write -name= in this letter case)\n"},
      {with("--port=8070"),
       "Unknown install option '--port=8070' (options take one dash: -port=8070)\n"},
      {{"--install", "--name=demo", "-engine=" + kEngine},
       "Options take one dash: -install, not --install\n"},
      {with("-logdir=" + missing), "The log folder '" + missing + "' does not exist\n"},
      {{"-modify", "-name=demo", "FOO=1"},
       "Sorry, '-name=demo' is no service name: -modify takes the bare name, as in\n"
       "  " + kVornd + " -modify serviceName FOO=BAR\n"},
  };
  for (const Case& c : cases) {
    const Outcome outcome = vornd(c.args);
    EXPECT_EQ(c.printed, outcome.out) << c.args[1];
    EXPECT_EQ(1, outcome.exitCode) << c.args[1];
    EXPECT_EQ(before, testing_support::readFile(registry)) << c.args.back() << " wrote";
  }
}

// A name the service manager cannot serve is refused by the install with
// the system's text, and nothing is written.
TEST_F(AdminCommands, InstallRefusesNamesTheServiceManagerCannotServe) {
  const std::string invalid =
      "\nCreateService failed: The filename, directory name, or volume label syntax is "
      "incorrect.\n\n";
  for (const std::string& name : {std::string("a/b"), std::string("a\\b"), std::string(300, 'x')}) {
    const Outcome outcome = vornd({"-install", "-name=" + name, "-engine=" + kEngine, "A=1"});
    EXPECT_EQ(invalid, outcome.out) << name;
    EXPECT_EQ(1, outcome.exitCode) << name;
  }
  EXPECT_FALSE(keyExists("SOFTWARE\\Vornware\\Services"));
  EXPECT_FALSE(keyExists("SYSTEM\\CurrentControlSet\\Services"));
}

// Removing a service whose process does not answer (stopped by a signal
// here) marks it at once; its keys go when it has stopped.
TEST_F(AdminCommands, RemoveOfAServiceThatDoesNotAnswerReturnsAtOnce) {
  installServing("hung");
  ASSERT_TRUE(reaches("hung", platform::kServiceRunning));
  const pid_t pid = servicePid("hung");
  ASSERT_GT(pid, 0);
  Continuer continuer{pid};
  ASSERT_TRUE(testing_support::stopProcess(pid)) << "state " << testing_support::processState(pid);

  const auto began = std::chrono::steady_clock::now();
  Outcome outcome = vornd({"-remove", "-name=hung"});
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));
  EXPECT_EQ("hung stopped\nhung removed\n", outcome.out);
  EXPECT_EQ(0, outcome.exitCode);
  EXPECT_FALSE(values("SOFTWARE\\Vornware\\Services").count("hung"));
  EXPECT_TRUE(keyExists(kServices + "hung\\Config")) << "kept while its process holds it";

  ASSERT_EQ(0, kill(pid, SIGCONT));
  outcome = vornd({"-stop", "hung"});
  EXPECT_EQ("Service: hung stop requested\n", outcome.out);
  for (int i = 0; i < 200 && keyExists(kServices + "hung"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_FALSE(keyExists(kServices + "hung"));
}

// An install under the name of a service marked for delete that still runs
// is refused and writes nothing: the keys go when the old process stops.
TEST_F(AdminCommands, InstallOverAServiceMarkedForDeleteIsRefused) {
  const std::uint16_t port = installServing("again", {"OLD=1"});
  ASSERT_TRUE(reaches("again", platform::kServiceRunning));
  {
    platform::ScHandle manager = platform::openSCManager(platform::kScManagerAllAccess);
    platform::ScHandle service =
        platform::openService(manager, "again", platform::kServiceAllAccess);
    ASSERT_NE(nullptr, service);
    EXPECT_TRUE(platform::deleteService(service));
    platform::closeServiceHandle(service);
    platform::closeServiceHandle(manager);
  }
  ASSERT_EQ(platform::kServiceRunning, stateOf("again"));
  const std::string registry = m_root.path() + "/registry";
  const std::string before = testing_support::readFile(registry);

  const std::vector<std::string> install = {"-install", "-name=again",
                                            "-port=" + std::to_string(port),
                                            "-engine=" + kEngine, "NEW=1"};
  Outcome outcome = vornd(install);
  EXPECT_EQ("\nCreateService failed: The specified service has been marked for deletion.\n\n",
            outcome.out);
  EXPECT_EQ(1, outcome.exitCode);
  EXPECT_EQ(before, testing_support::readFile(registry)) << "nothing written";

  vornd({"-stop", "again"});
  for (int i = 0; i < 200 && keyExists(kServices + "again"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_FALSE(keyExists(kServices + "again"));
  outcome = vornd(install);
  EXPECT_EQ(0, outcome.exitCode) << outcome.out;
  EXPECT_NE(std::string::npos, outcome.out.find("again Created\nagain Configured\n"))
      << outcome.out;
  EXPECT_TRUE(reaches("again", platform::kServiceRunning));
  EXPECT_EQ("1", values(kServices + "again\\Environment")["NEW"]);
}

// The raw shutdown control, sent to the daemon's control socket, is refused;
// the daemon goes on serving and a stop still ends it.
TEST_F(AdminCommands, ShutdownSentToTheControlSocketIsRefusedAndStopStillEndsTheDaemon) {
  const std::uint16_t port = installServing("shut");
  ASSERT_TRUE(reaches("shut", platform::kServiceRunning));
  platform::posix::ControlReply reply;
  ASSERT_EQ(platform::posix::ExchangeResult::kAnswered,
            platform::posix::exchange(
                "shut",
                platform::posix::makeRequest(platform::posix::ControlOp::kControl,
                                             platform::kControlShutdown),
                reply));
  EXPECT_EQ(platform::kErrorInvalidServiceControl, reply.error);
  EXPECT_EQ(platform::kServiceRunning, reply.status.currentState);
  EXPECT_NE(std::string::npos, talk(port, "GET / HTTP/1.0\r\n\r\n").find("<H1>shut</H1>"));

  EXPECT_EQ("Service: shut stop requested\n", vornd({"-stop", "shut"}).out);
  EXPECT_TRUE(reaches("shut", platform::kServiceStopped));
}

// Admin commands at the same moment lose nothing of each other.
TEST_F(AdminCommands, ConcurrentInstallsAndModifyKeepEveryValue) {
  std::vector<std::string> vars;
  for (int i = 0; i < 30; ++i) vars.push_back("V" + std::to_string(i) + "=" + std::to_string(i));
  Outcome first, second, third;
  std::thread a([&] { first = vornd({"-install", "-name=ca", "-engine=" + kEngine,
                                     "-port=" + std::to_string(freePort())}); });
  std::thread b([&] {
    std::vector<std::string> args = {"-install", "-name=cb", "-engine=" + kEngine,
                                     "-port=" + std::to_string(freePort())};
    args.insert(args.end(), vars.begin(), vars.end());
    second = vornd(args);
  });
  std::thread c([&] {
    std::vector<std::string> args = {"-modify", "cc"};
    args.insert(args.end(), vars.begin(), vars.end());
    third = vornd(args);
  });
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(0, first.exitCode) << first.out;
  EXPECT_EQ(0, second.exitCode) << second.out;
  EXPECT_EQ(2u, values("SOFTWARE\\Vornware\\Services").size());
  EXPECT_EQ(30u, values(kServices + "cb\\Environment").size());
  EXPECT_EQ(30u, values(kServices + "cc\\Environment").size());
  EXPECT_EQ(2u, values(kServices + "ca\\Config").size());
  EXPECT_EQ(2u, values(kServices + "cb\\Config").size());
}

}  // namespace

namespace {

// A value the store cannot write (a full disk) is reported, counted, and
// keeps "Configured" from being printed.
TEST(AdminFullDisk, AFailedValueWriteIsReportedAndNotCalledConfigured) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  testing_support::TemporaryDirectory dir;
  const std::string root = dir.file("root");
  std::filesystem::create_directories(root);
  if (!testing_support::run("mount -t tmpfs -o size=512k vorndfull " + root + " 2>/dev/null")) {
    GTEST_SKIP() << "no tmpfs mount here";
  }
  // Undone however the test ends.
  struct Restore {
    std::string root;
    std::optional<std::string> previous = platform::getEnvironmentVariable("VORND_ROOT");
    ~Restore() {
      platform::setEnvironmentVariable("VORND_ROOT", previous);
      testing_support::run("umount " + root);
    }
  } restore{root};
  platform::setEnvironmentVariable("VORND_ROOT", root);
  {
    // The service and its keys exist, so only value writes remain to do.
    platform::ScHandle manager = platform::openSCManager(platform::kScManagerAllAccess);
    platform::ScHandle service = platform::createService(
        manager, "full", "full", platform::kServiceAllAccess, platform::kServiceWin32OwnProcess,
        platform::kServiceDemandStart, platform::kServiceErrorNormal, kVornd + " -runService");
    ASSERT_NE(nullptr, service);
    platform::closeServiceHandle(service);
    platform::closeServiceHandle(manager);
    for (const std::string& key : {std::string("SOFTWARE\\Vornware\\Services"),
                                  kServices + "full\\Config", kServices + "full\\Environment"}) {
      platform::RegKeyHandle handle = nullptr;
      ASSERT_EQ(0u, platform::regCreateKey(platform::localMachine(), key, handle));
      platform::regCloseKey(handle);
    }
    std::ofstream filler(root + "/filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (filler.write(block.data(), block.size())) {
    }
  }
  const std::string before = testing_support::readFile(root + "/registry");
  const Outcome outcome = testing_support::runProgram(
      kVornd, {"-install", "-name=full", "-engine=" + kEngine, "-port=9", "A=1"});
  EXPECT_EQ(1, outcome.exitCode);
  EXPECT_EQ(0u, outcome.out.find("RegSetValueEx failed: There is not enough space on the disk.\n"))
      << outcome.out;
  EXPECT_EQ(std::string::npos, outcome.out.find("Configured"));
  EXPECT_NE(std::string::npos, outcome.out.find("full" + kAutoStart));
  EXPECT_EQ(before, testing_support::readFile(root + "/registry"));  // nothing half-written
}

}  // namespace
