// A daemon with TLS on its port, served through the built relay and
// reached with the built login client: what travels, what clear clients
// get where TLS is required or optional, what the engine learns, and a
// set-up that cannot work.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "posix/process_census.h"
#include "posix/run_program.h"
#include "posix/test_certificates.h"
#include "engine_probe.h"
#include "serving_fixture.h"

namespace {

using testing_support::Certificates;
using testing_support::Client;
using testing_support::kAccepted;
using testing_support::kRefused;
using testing_support::Outcome;
using testing_support::record;
using testing_support::runProgram;

const std::string kVornlogin = std::string(VORND_BINARY_DIR) + "/vornlogin";
const std::string kRelay = std::string(VORND_BINARY_DIR) + "/vornd-tls";

// Between a client and the daemon, keeping every byte that passes either
// way: what someone on the path would see. `header` goes to the daemon
// first, as a load balancer's PROXY header would.
class RecordingProxy {
 public:
  explicit RecordingProxy(std::uint16_t target, std::string header = "")
      : m_target(target), m_header(std::move(header)) {
    m_listener = platform::createTcpSocket();
    platform::bindSocket(m_listener, platform::Ipv4Endpoint{platform::kLoopbackAddress, 0});
    platform::listenSocket(m_listener, 4);
    m_thread = std::thread([this] { serve(); });
  }
  ~RecordingProxy() {
    shutdown(static_cast<int>(m_listener), SHUT_RDWR);
    m_thread.join();
    platform::closeSocket(m_listener);
  }
  std::uint16_t port() const { return platform::localPort(m_listener); }
  std::string seen() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_seen;
  }

 private:
  void serve() {
    const platform::SocketHandle client = platform::acceptSocket(m_listener, nullptr);
    if (client == platform::kInvalidSocket) return;
    Client daemon(m_target);
    if (!m_header.empty()) daemon.send(m_header);
    std::thread back([&] { copy(daemon.handle(), client); });
    copy(client, daemon.handle());
    back.join();
    platform::closeSocket(client);
  }
  void copy(platform::SocketHandle from, platform::SocketHandle to) {
    char buffer[4096];
    for (;;) {
      const int got = platform::receiveSocket(from, buffer, sizeof buffer);
      if (got <= 0) break;
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_seen.append(buffer, static_cast<std::size_t>(got));
      }
      if (platform::sendSocket(to, buffer, got) != got) break;
    }
    platform::shutdownSend(to);
  }

  std::uint16_t m_target;
  std::string m_header;
  platform::SocketHandle m_listener = platform::kInvalidSocket;
  std::thread m_thread;
  std::mutex m_mutex;
  std::string m_seen;
};

// The login client kept running, its standard input and output piped: a
// session that stays open while the test acts on the daemon and relays.
class LiveSession {
 public:
  explicit LiveSession(std::vector<std::string> args) {
    // Its input is a socket, so that a line sent after it has gone fails
    // instead of raising SIGPIPE in the test.
    int in[2], out[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0 || pipe2(out, O_CLOEXEC) != 0) {
      return;
    }
    std::vector<char*> argv{const_cast<char*>(kVornlogin.c_str())};
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    m_pid = fork();
    if (m_pid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    m_input = in[1];
    m_output = out[0];
  }
  ~LiveSession() {
    close(m_input);
    close(m_output);
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
  }
  // Sends a line; true when the engine sent it back within the limit.
  bool echoes(const std::string& line) {
    const std::string sent = line + "\n";
    if (send(m_input, sent.data(), sent.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(sent.size())) {
      return false;
    }
    return readUntil(line);
  }
  // Reads until `text` has come (true) or the output ends or 10 s pass.
  bool readUntil(const std::string& text) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (m_seen.find(text) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      pollfd ready{m_output, POLLIN, 0};
      if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) return false;
      char buffer[1024];
      const ssize_t got = read(m_output, buffer, sizeof buffer);
      if (got <= 0) return false;
      m_seen.append(buffer, static_cast<std::size_t>(got));
    }
    m_seen.erase(0, m_seen.find(text) + text.size());
    return true;
  }

 private:
  pid_t m_pid = -1;
  int m_input = -1;
  int m_output = -1;
  std::string m_seen;
};

// This process's relay master and the session processes it forked.
std::vector<int> relaySessions() {
  std::vector<int> sessions;
  const auto processes = testing_support::allProcesses();
  auto name = [](int pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string text;
    std::getline(comm, text);
    return text;
  };
  for (const auto& master : processes) {
    if (master.parent != getpid() || name(master.pid) != "vornd-tls-maste") continue;
    for (const auto& session : processes) {
      if (session.parent == master.pid && name(session.pid) == "vornd-tls") {
        sessions.push_back(session.pid);
      }
    }
  }
  return sessions;
}

class TlsServing : public testing_support::ServingFixture {
 protected:
  void SetUp() override {
    if (access(kRelay.c_str(), X_OK) != 0) GTEST_SKIP() << "no TLS relay in this build";
    ASSERT_TRUE(Certificates::get().ready());
    config("AuthenticationMethod", "Vorn");
    config("TLSCertificateFile", file("local.pem"));
    config("TLSKeyFile", file("local.key"));
  }
  static std::string file(const std::string& name) { return Certificates::get().file(name); }

  Outcome login(std::uint16_t port, const std::string& user, const std::vector<std::string>& tls) {
    std::vector<std::string> args = tls;
    for (const std::string& arg :
         {std::string("-u"), user, std::string("-p"), std::string("Secret-") + user,
          "127.0.0.1:" + std::to_string(port)}) {
      args.push_back(arg);
    }
    return runProgram(kVornlogin, args, "", "", 15000);
  }
  Outcome loginTls(const std::string& user) {
    return login(m_port, user, {"--tls", "--ca", file("ca.pem")});
  }
  // A page over https, as the openssl client fetches it.
  Outcome securePage(const std::string& path = "/") {
    return runProgram(testing_support::kOpensslProgram,
                      {"s_client", "-quiet", "-ign_eof", "-CAfile", file("ca.pem"), "-connect",
                       "127.0.0.1:" + std::to_string(m_port)},
                      "GET " + path + " HTTP/1.0\r\n\r\n", "", 15000);
  }
  bool warned(const std::string& text) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
      for (const auto& event : m_tap.events()) {
        if (event.text.find(text) != std::string::npos) return true;
      }
      platform::sleepMs(20);
    } while (std::chrono::steady_clock::now() < until);
    return false;
  }
};

TEST_F(TlsServing, RequiredServesTlsAloneAndTellsTheEngineWhatItsSocketCannot) {
  config("SockTLS", "Required");
  config("VornExecutable", testing_support::serviceHostCommandLine("engine-probe", "report"));
  start();

  const Outcome tls = loginTls("alice");
  ASSERT_EQ(0, tls.exitCode) << tls.err;
  const auto report = testing_support::parseProbeReport(tls.out);
  ASSERT_TRUE(report.complete) << tls.out;
  // After the configured list, in this order.
  ASSERT_GE(report.env.size(), 4u);
  const std::vector<std::string> last(report.env.end() - 4, report.env.end());
  EXPECT_EQ("VORND_CLIENT_ADDRESS=127.0.0.1", last[0]);
  EXPECT_EQ(0u, last[1].rfind("VORND_CLIENT_PORT=", 0));
  EXPECT_NE("VORND_CLIENT_PORT=0", last[1]);
  EXPECT_EQ("VORND_TLS_PROTOCOL=TLSv1.3", last[2]);
  EXPECT_EQ(0u, last[3].rfind("VORND_TLS_CIPHER=TLS_", 0)) << last[3];

  // Clear, a record is refused and counted, a request is told where to go.
  const std::string clear = exchange(record("bob", "Secret-bob"));
  EXPECT_EQ(kRefused, clear.substr(0, 2));
  EXPECT_TRUE(warned("Login refused for user bob from 127.0.0.1 port "));
  EXPECT_TRUE(warned(": this instance requires TLS"));
  const std::string request = page();
  EXPECT_EQ(0u, request.rfind("HTTP/1.0 403", 0)) << request;
  EXPECT_NE(std::string::npos, request.find("https"));
  EXPECT_EQ(std::string::npos, request.find("Clients Served"));

  const Outcome secure = securePage();
  EXPECT_NE(std::string::npos, secure.out.find("Clients Served</td><td class=\"th\">1<"))
      << secure.out << secure.err;
  EXPECT_NE(std::string::npos, secure.out.find("Clients Rejected</td><td class=\"th\">1<"));
}

// Behind a balancer the PROXY header comes first, in clear, and the
// handshake after it; the engine is told of the client the header named.
TEST_F(TlsServing, APROXYHeaderBeforeTheHandshakeNamesTheClient) {
  config("SockTLS", "Required");
  config("ProxyProtocolFrom", "127.0.0.1");
  config("VornExecutable", testing_support::serviceHostCommandLine("engine-probe", "report"));
  start();
  RecordingProxy balancer(m_port, "PROXY TCP6 2001:db8::7 ::1 40001 8060\r\n");
  const Outcome tls = login(balancer.port(), "frank", {"--tls", "--ca", file("ca.pem")});
  ASSERT_EQ(0, tls.exitCode) << tls.err;
  const auto report = testing_support::parseProbeReport(tls.out);
  ASSERT_TRUE(report.complete) << tls.out;
  ASSERT_GE(report.env.size(), 4u);
  const std::vector<std::string> last(report.env.end() - 4, report.env.end());
  EXPECT_EQ("VORND_CLIENT_ADDRESS=2001:db8::7", last[0]);
  EXPECT_EQ("VORND_CLIENT_PORT=40001", last[1]);
  EXPECT_EQ("VORND_TLS_PROTOCOL=TLSv1.3", last[2]);
}

TEST_F(TlsServing, OptionalServesTlsAndClearSideBySideAndNothingOfTheLoginCrossesInClear) {
  config("SockTLS", "Optional");
  start();
  RecordingProxy proxy(m_port);
  const Outcome tls = login(proxy.port(), "carol", {"--tls", "--ca", file("ca.pem")});
  EXPECT_EQ(0, tls.exitCode) << tls.err;
  const std::string seen = proxy.seen();
  EXPECT_GT(seen.size(), 331u);
  EXPECT_EQ(std::string::npos, seen.find("carol"));
  EXPECT_EQ(std::string::npos, seen.find("Secret-"));

  EXPECT_EQ(kAccepted, exchange(record("dave", "Secret-dave")).substr(0, 2));
  const Outcome clearClient = login(m_port, "erin", {});
  EXPECT_EQ(0, clearClient.exitCode) << clearClient.err;
  EXPECT_EQ("3/0", counters());
}

TEST_F(TlsServing, AHandshakeThatStallsIsClosedInTimeAndHoldsUpNoLoginBehindIt) {
  config("SockTLS", "Required");
  config("SockReceiveTimeout", "1");
  start();
  Client stalled(m_port);
  stalled.send(std::string("\x16\x03\x01", 3));
  const auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(0, loginTls("frank").exitCode);
  EXPECT_EQ("", stalled.readAll(5000));
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(4));
  EXPECT_TRUE(warned(": no TLS handshake within 1 seconds"));
  // A clear record on a TLS-only port that is no handshake: the relay says
  // why, and the line says it.
  Client garbled(m_port);
  garbled.send(std::string("\x16\x03\x03") + std::string(328, '\0'));
  // A TLS alert at most, then the end.
  EXPECT_EQ(std::string::npos, garbled.readAll(5000).find(std::string("\x00\x01", 2)));
  EXPECT_TRUE(warned(": TLS handshake failed: "));
  // The metrics, over TLS alone, count both failures, the one that ran
  // out of time among the closures, and the two handshakes made: the
  // login's and the metrics' own.
  const std::string metrics = securePage("/metrics").out;
  for (const std::string& sample :
       {"vornd_tls_handshakes_total{instance=\"" + m_name + "\",result=\"failed\"} 2\n",
        "vornd_tls_handshakes_total{instance=\"" + m_name + "\",result=\"done\"} 2\n",
        "vornd_connections_closed_total{instance=\"" + m_name + "\",bound=\"handshake_time\"} 1\n",
        "vornd_logins_accepted_total{instance=\"" + m_name + "\"} 1\n"}) {
    EXPECT_NE(metrics.find(sample), std::string::npos) << sample << metrics;
  }
  EXPECT_EQ(0u, exchange("GET /metrics HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 403", 0));
}

TEST_F(TlsServing, AClientCertificateOfTheAuthorityIsTheConditionWhenOneIsNamed) {
  config("SockTLS", "Required");
  config("TLSClientCAFile", file("ca.pem"));
  start();
  struct Case {
    const char* what;
    std::vector<std::string> options;
    int exitCode;
  };
  const Case cases[] = {
      {"its own", {"--cert", file("client.pem"), "--key", file("client.key")}, 0},
      {"none", {}, 2},
      // Issued for a server, by the same authority, but not for clients.
      {"a server's", {"--cert", file("elsewhere.pem"), "--key", file("elsewhere.key")}, 2},
  };
  for (const Case& c : cases) {
    std::vector<std::string> options{"--tls", "--ca", file("ca.pem")};
    options.insert(options.end(), c.options.begin(), c.options.end());
    const Outcome outcome = login(m_port, "grace", options);
    EXPECT_EQ(c.exitCode, outcome.exitCode) << c.what << ": " << outcome.err;
  }
}

TEST_F(TlsServing, TwoHundredLoginsSixteenAtOnceAreCountedExactlyAndLeaveNothingBehind) {
  config("SockTLS", "Optional");
  config("VornExecutable", "/bin/true");
  // Every client comes from 127.0.0.1.
  config("MaxPendingPerSource", "64");
  start();
  // Sixteen clients at once until `count` logins are done; the failures.
  auto loginMany = [this](int count) {
    std::atomic<int> next{0}, failed{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 16; ++t) {
      clients.emplace_back([&] {
        while (next.fetch_add(1) < count) {
          if (loginTls("many").exitCode != 0) ++failed;
        }
      });
    }
    for (std::thread& client : clients) client.join();
    return failed.load();
  };
  // A first round brings up the relay's master, the workers and the
  // reaper, which stay.
  ASSERT_EQ(0, loginMany(32));
  ASSERT_TRUE(testing_support::waitUntilAllReaped());
  const int descriptors = testing_support::openDescriptors();

  EXPECT_EQ(0, loginMany(200));
  EXPECT_EQ("232/0", counters());
  EXPECT_TRUE(testing_support::waitUntilAllReaped());
  EXPECT_EQ(0, testing_support::zombieChildren());
  // The last connections' ends may still be on their way through the loop.
  for (int wait = 0; wait < 200 && testing_support::openDescriptors() != descriptors; ++wait) {
    platform::sleepMs(10);
  }
  EXPECT_EQ(descriptors, testing_support::openDescriptors());
}

TEST_F(TlsServing, SessionsOutliveTheirDaemonAndAKilledRelayEndsItsOwnAlone) {
  config("SockTLS", "Required");
  config("VornExecutable", std::string(VORND_BINARY_DIR) + "/vorn-echo-engine");
  start();
  auto session = [this](const std::string& user) {
    return std::make_unique<LiveSession>(std::vector<std::string>{
        "--tls", "--ca", file("ca.pem"), "-u", user, "-p", "pw",
        "127.0.0.1:" + std::to_string(m_port)});
  };
  const auto first = session("first");
  const auto second = session("second");
  const auto third = session("third");
  for (LiveSession* live : {first.get(), second.get(), third.get()}) {
    ASSERT_TRUE(live->echoes("hello"));
  }

  const std::vector<int> sessions = relaySessions();
  ASSERT_EQ(3u, sessions.size());
  // The daemon stops, and its relay's master with it: the sessions go on.
  m_run.stop();
  for (int wait = 0; wait < 500 && !relaySessions().empty(); ++wait) platform::sleepMs(10);
  EXPECT_TRUE(relaySessions().empty());
  for (LiveSession* live : {first.get(), second.get(), third.get()}) {
    EXPECT_TRUE(live->echoes("after the stop"));
  }

  // One relay killed: one session ends, the others still answer.
  ASSERT_EQ(0, kill(sessions[0], SIGKILL));
  int answering = 0;
  for (LiveSession* live : {first.get(), second.get(), third.get()}) {
    if (live->echoes("after the kill")) ++answering;
  }
  EXPECT_EQ(2, answering);
}

// TLS asked for and not to be had: one report naming the file or the
// value, and nothing listened on, never the port in clear.
TEST_F(TlsServing, ASetUpThatCannotWorkIsReportedAndNothingIsListenedOn) {
  struct Case {
    const char* value;
    const char* setting;
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {"SockTLS", "SockTLS", "Sometimes", "SockTLS (Sometimes) is none of"},
      {"no certificate", "TLSCertificateFile", "", "TLSCertificateFile or TLSKeyFile is empty"},
      {"missing file", "TLSCertificateFile", file("nothing.pem"), "nothing.pem: No such file"},
      {"not a key", "TLSKeyFile", file("ca.pem"), "ca.pem: "},
      {"another's key", "TLSKeyFile", file("client.key"), "key values mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    config("SockTLS", "Optional");
    config("TLSCertificateFile", file("local.pem"));
    config("TLSKeyFile", file("local.key"));
    config(c.setting, c.text);
    m_tap.clear();
    testing_support::DaemonRunner<testing_support::ServingDaemon> run(m_name);
    run.start();
    EXPECT_TRUE(warned(c.expected));
    EXPECT_EQ(0, run.daemon().port());
    run.stop();
  }
}

}  // namespace
