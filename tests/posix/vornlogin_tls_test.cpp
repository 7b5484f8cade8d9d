// The built login client over TLS, against a stand-in daemon of Python's
// ssl module on 127.0.0.1, with certificates made by the openssl program
// for the run: a test authority, a second one the client must not trust,
// and server certificates valid for localhost and 127.0.0.1 or for
// another name only.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "posix/run_program.h"
#include "posix/test_certificates.h"
#include "session/net_login.h"
#include "temp_dir.h"

namespace {

using testing_support::Outcome;
using testing_support::runProgram;

const std::string kVornlogin = std::string(VORND_BINARY_DIR) + "/vornlogin";
const std::string kServerScript =
    std::string(VORND_SOURCE_DIR) + "/tests/posix/tls_login_server.py";
const std::string kOpenssl = "/usr/bin/openssl";
const std::string kPython = "/usr/bin/python3";
constexpr int kLimitMs = 10000;

using testing_support::Certificates;

// The script serving one connection: its port, then what it saw.
class TlsServer {
 public:
  struct Setup {
    std::string certificate = "local";  // its .pem and .key
    std::string reply;                  // bytes
    bool echo = false;
    bool tls12 = false;
    // Asks for a client certificate of the test authority, and then also
    // sends that authority's certificate along with its own.
    bool clientCertificate = false;
  };

  explicit TlsServer(const Setup& setup) {
    const Certificates& files = Certificates::get();
    std::string hex;
    for (unsigned char c : setup.reply) {
      hex += "0123456789abcdef"[c >> 4];
      hex += "0123456789abcdef"[c & 15];
    }
    std::vector<std::string> args{kPython, kServerScript, "--reply", hex, "--cert",
                                  files.file(setup.certificate + ".pem"), "--key",
                                  files.file(setup.certificate + ".key")};
    if (setup.echo) args.push_back("--echo");
    if (setup.tls12) args.push_back("--tls12");
    if (setup.clientCertificate) args.insert(args.end(), {"--client-ca", files.file("ca.pem")});
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      dup2(out[1], 1);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    m_out = out[0];
    m_port = line();
  }
  ~TlsServer() {
    if (m_out >= 0) close(m_out);
    if (m_pid <= 0) return;
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }

  bool listening() const { return !m_port.empty(); }
  std::string address(const std::string& host) const { return host + ":" + m_port; }

  // Waits for the end of the connection; the script's lines by their key.
  std::map<std::string, std::string> report() {
    std::map<std::string, std::string> lines;
    for (std::string text = line(); !text.empty(); text = line()) {
      const std::size_t space = text.find(' ');
      lines[text.substr(0, space)] = space == std::string::npos ? "" : text.substr(space + 1);
    }
    return lines;
  }

 private:
  // The script's next line without its end; empty at its end, or when it
  // says nothing in time.
  std::string line() {
    std::string text;
    char c;
    pollfd entry{m_out, POLLIN, 0};
    while (poll(&entry, 1, kLimitMs) == 1 && read(m_out, &c, 1) == 1 && c != '\n') text += c;
    return text;
  }

  pid_t m_pid = -1;
  int m_out = -1;
  std::string m_port;
};

// The record as the server got it, from its hex.
netLogin recordOf(const std::string& hex) {
  netLogin record;
  std::memset(record.bytes, 0, sizeof record.bytes);
  for (std::size_t i = 0; i + 1 < hex.size() && i / 2 < sizeof record.bytes; i += 2) {
    record.bytes[i / 2] = static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return record;
}

class VornloginTls : public testing::Test {
 protected:
  void SetUp() override {
    if (access(kPython.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << kPython;
    if (access(kOpenssl.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << kOpenssl;
    ASSERT_TRUE(Certificates::get().ready());
  }
  static std::string file(const std::string& name) { return Certificates::get().file(name); }
};

const std::string kAccept(kLoginAccepted, 2);
const std::string kRefuse(kLoginRefused, 2);

TEST_F(VornloginTls, AfterTheHandshakeTheLoginGoesAsWithoutIt) {
  struct Case {
    TlsServer::Setup server;
    std::string host;
    std::vector<std::string> options;
    std::string input;
    int exitCode;
    std::string out, err;
    std::string sni, client;  // as the server saw them; "-" for none
  };
  const std::string accepted = "vornlogin: login accepted\n";
  // Enough lines that sends and receives overlap on the two threads, few
  // enough that the echo fits the output pipe while the input is written.
  std::string lines;
  for (int i = 0; i < 700; ++i) lines += "line " + std::to_string(i) + " of many, each sent alone\n";
  const Case cases[] = {
      // A client certificate; the server's reply after the input's end
      // still arrives.
      {{"local", kAccept, true, false, true}, "127.0.0.1",
       {"--ca", file("ca.pem"), "--cert=" + file("client.pem"), "--key", file("client.key")},
       "line one\nlast", 0, "line one\nlastafter the end\n", accepted, "-", "vornlogin client"},
      // A name is told to the server, and the certificate checked for it.
      {{"local", kRefuse}, "localhost", {"--ca=" + file("ca.pem")}, "", 1, "",
       "vornlogin: login refused\n", "localhost", "-"},
      // TLS 1.2, and the daemon's notice that the engine did not start.
      {{"local", kAccept + kRefuse, false, true}, "127.0.0.1", {"--ca", file("ca.pem")}, "", 1,
       "", accepted + "vornlogin: login accepted, but the engine could not be started\n", "-",
       "-"},
      {{"local", kAccept, true}, "localhost", {"--ca", file("ca.pem")}, lines, 0,
       lines + "after the end\n", accepted, "localhost", "-"},
      // Valid for neither the address nor from a trusted authority.
      {{"elsewhere", kAccept, true}, "127.0.0.1", {"--insecure"}, "ping\n", 0,
       "ping\nafter the end\n",
       "vornlogin: warning: the server's certificate is not checked\n" + accepted, "-", "-"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server.certificate + " at " + c.host + " with " + c.options[0]);
    TlsServer server(c.server);
    ASSERT_TRUE(server.listening());
    std::vector<std::string> args{"--tls", "-u", "alice", "-p", "secret"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(server.address(c.host));
    const Outcome outcome = runProgram(kVornlogin, args, c.input, "", kLimitMs);
    auto seen = server.report();
    EXPECT_EQ(c.exitCode, outcome.exitCode) << outcome.err;
    EXPECT_EQ(c.out, outcome.out);
    EXPECT_EQ(c.err, outcome.err);
    EXPECT_EQ("ok", seen["handshake"]);
    EXPECT_EQ(c.sni, seen["sni"]);
    EXPECT_EQ(c.client, seen["client"]);
    ASSERT_EQ(2 * netLogin::kSize, seen["record"].size());
    const netLogin record = recordOf(seen["record"]);
    EXPECT_EQ("alice", record.user());
    EXPECT_EQ("secret", record.password());
  }
}

TEST_F(VornloginTls, ACertificateThatFailsItsCheckEndsTheHandshakeWithTheReason) {
  struct Case {
    std::string certificate, host;
    std::vector<std::string> options;
    std::string reason;
  };
  const Case cases[] = {
      {"local", "127.0.0.1", {"--ca", file("other-ca.pem")},
       "certificate verify failed: unable to get local issuer certificate"},
      // The system's trust store is the default, and it has no test authority.
      {"local", "127.0.0.1", {}, "certificate verify failed: unable to get local issuer certificate"},
      {"elsewhere", "127.0.0.1", {"--ca", file("ca.pem")},
       "certificate verify failed: IP address mismatch"},
      {"elsewhere", "localhost", {"--ca", file("ca.pem")},
       "certificate verify failed: hostname mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.certificate + " at " + c.host);
    TlsServer server({c.certificate, kAccept});
    ASSERT_TRUE(server.listening());
    std::vector<std::string> args{"--tls", "-p", "pw"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(server.address(c.host));
    const Outcome outcome = runProgram(kVornlogin, args, "", "", kLimitMs);
    auto seen = server.report();
    EXPECT_EQ(2, outcome.exitCode);
    EXPECT_EQ("", outcome.out);
    EXPECT_EQ("vornlogin: TLS handshake with " + server.address(c.host) + " failed: " + c.reason +
                  "\n",
              outcome.err);
    EXPECT_NE("ok", seen["handshake"]);
    EXPECT_EQ("", seen["record"]);
  }
}

TEST_F(VornloginTls, OptionsAndFilesThatCannotBeUsedFailBeforeThePasswordIsAsked) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{"--ca", file("ca.pem"), "127.0.0.1:1"},
       "vornlogin: --ca cannot be used without --tls (see vornlogin --help)\n"},
      {{"--tls", "--cert", file("client.pem"), "127.0.0.1:1"},
       "vornlogin: --cert cannot be used without --key (see vornlogin --help)\n"},
      {{"--tls", "--ca", file("missing.pem"), "127.0.0.1:1"},
       "vornlogin: cannot use --ca " + file("missing.pem") + ": No such file or directory\n"},
      {{"--tls", "--ca", file("x509.cnf"), "127.0.0.1:1"},
       "vornlogin: cannot use --ca " + file("x509.cnf") + ": no certificate or crl found\n"},
      {{"--tls", "--cert", file("client.pem"), "--key", file("local.key"), "127.0.0.1:1"},
       "vornlogin: cannot use --key " + file("local.key") + ": key values mismatch\n"},
  };
  for (const Case& c : cases) {
    // No -p: a password asked for would show as its prompt.
    const Outcome outcome = runProgram(kVornlogin, c.args, "pw\n", "", kLimitMs);
    EXPECT_EQ(2, outcome.exitCode) << c.err;
    EXPECT_EQ(c.err, outcome.err);
  }
}

}  // namespace
