// The built login client against a stand-in daemon on 127.0.0.1, the
// sample engine's refusals, and the hidden console line on a real terminal.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/console.h"
#include "posix/run_program.h"
#include "platform/net.h"
#include "session/net_login.h"

namespace {

const std::string kVornlogin = std::string(VORND_BINARY_DIR) + "/vornlogin";
const std::string kEngine = std::string(VORND_BINARY_DIR) + "/vorn-echo-engine";
constexpr int kLimitMs = 20000;

using testing_support::Outcome;

Outcome run(const std::string& program, const std::vector<std::string>& args,
            const std::string& input = "") {
  return testing_support::runProgram(program, args, input);
}

// A stand-in for the daemon: takes one connection and its login record,
// answers with `reply` and then, when asked, sends back whatever arrives
// until the client stops sending.
class FakeDaemon {
 public:
  FakeDaemon(std::string reply, bool echo) : m_reply(std::move(reply)), m_echo(echo) {
    m_listener = platform::createTcpSocket();
    EXPECT_TRUE(platform::bindSocket(m_listener, {platform::kLoopbackAddress, 0}));
    EXPECT_TRUE(platform::listenSocket(m_listener, 1));
    m_port = platform::localPort(m_listener);
    m_thread = std::thread([this] { serve(); });
  }
  ~FakeDaemon() { finish(); }

  std::string address() const { return "127.0.0.1:" + std::to_string(m_port); }
  // After finish(): the record as it arrived, and whether it was whole.
  const netLogin& record() const { return m_record; }
  bool recordComplete() const { return m_recordComplete; }
  void finish() {
    if (m_thread.joinable()) m_thread.join();
    if (m_listener != platform::kInvalidSocket) platform::closeSocket(m_listener);
    m_listener = platform::kInvalidSocket;
  }

 private:
  // One receive, waiting at most the limit: the byte count, 0 at the end.
  static int receive(platform::SocketHandle socket, char* buffer, int length) {
    if (platform::waitUntilReadable(socket, kLimitMs) != 1) return -1;
    return platform::receiveSocket(socket, buffer, length);
  }

  void serve() {
    if (platform::waitUntilReadable(m_listener, kLimitMs) != 1) return;
    const platform::SocketHandle client = platform::acceptSocket(m_listener, nullptr);
    if (client == platform::kInvalidSocket) return;
    std::size_t got = 0;
    while (got < netLogin::kSize) {
      const int n = receive(client, m_record.bytes + got, static_cast<int>(netLogin::kSize - got));
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    m_recordComplete = got == netLogin::kSize;
    platform::sendSocket(client, m_reply.data(), static_cast<int>(m_reply.size()));
    char buffer[4096];
    int n;
    while (m_echo && (n = receive(client, buffer, sizeof buffer)) > 0) {
      platform::sendSocket(client, buffer, n);
    }
    platform::closeSocket(client);
  }

  std::string m_reply;
  bool m_echo;
  platform::SocketHandle m_listener = platform::kInvalidSocket;
  std::uint16_t m_port = 0;
  netLogin m_record;
  bool m_recordComplete = false;
  std::thread m_thread;
};

const std::string kAccept(kLoginAccepted, 2);
const std::string kRefuse(kLoginRefused, 2);

TEST(VornloginProgram, AcceptedLoginRelaysBothWaysUntilBothSidesEnd) {
  // The engine's first bytes begin with a zero, as its failure notice
  // does, and still reach the output.
  const std::string engineOutput("\0x\n", 3);
  FakeDaemon daemon(kAccept + engineOutput, true);
  // Without -p the password is the first line of the input.
  const Outcome outcome = run(kVornlogin, {"-u", "alice", "--ap=ab", "--type", "t 1",
                                           "--process", "p", daemon.address()},
                              "secret\nline one\nlast");
  daemon.finish();
  EXPECT_EQ(0, outcome.exitCode) << outcome.err;
  EXPECT_EQ(engineOutput + "line one\nlast", outcome.out);
  EXPECT_EQ("Password: vornlogin: login accepted\n", outcome.err);

  ASSERT_TRUE(daemon.recordComplete());
  const netLogin& record = daemon.record();
  EXPECT_EQ("alice", record.user());
  EXPECT_EQ("secret", record.password());
  EXPECT_EQ(std::string("ab\0", 3), std::string(record.bytes + netLogin::kAp, netLogin::kApSize));
  EXPECT_EQ("t 1", record.text(netLogin::kType, netLogin::kTypeSize));
  EXPECT_EQ("p", record.text(netLogin::kProcess, netLogin::kProcessSize));
  EXPECT_EQ("", record.text(netLogin::kDb, netLogin::kDbSize));
}

TEST(VornloginProgram, RefusedLoginsAndAnEngineThatDidNotStartExitWithOne) {
  {
    FakeDaemon daemon(kRefuse, false);
    const Outcome outcome = run(kVornlogin, {"-p", "pw", daemon.address()}, "never sent\n");
    EXPECT_EQ(1, outcome.exitCode);
    EXPECT_EQ("", outcome.out);
    EXPECT_EQ("vornlogin: login refused\n", outcome.err);
  }
  {
    // Acceptance, then the daemon's notice that the launch failed, then
    // its close: the two zero bytes are the notice, not engine output.
    FakeDaemon daemon(kAccept + kRefuse, false);
    const Outcome outcome = run(kVornlogin, {"-p", "pw", "--fms", daemon.address()});
    daemon.finish();
    EXPECT_EQ(1, outcome.exitCode);
    EXPECT_EQ("", outcome.out);
    EXPECT_EQ(
        "vornlogin: login accepted\n"
        "vornlogin: login accepted, but the engine could not be started\n",
        outcome.err);
    EXPECT_TRUE(daemon.record().startupBeginsWith("-fms_server"));
  }
  {
    // A single zero byte from an engine is output like any other.
    FakeDaemon daemon(kAccept + std::string(1, '\0'), false);
    const Outcome outcome = run(kVornlogin, {"-p", "pw", daemon.address()});
    EXPECT_EQ(0, outcome.exitCode) << outcome.err;
    EXPECT_EQ(std::string(1, '\0'), outcome.out);
  }
}

TEST(VornloginProgram, ConnectionFaultsAndBadArgumentsExitWithTwo) {
  {
    FakeDaemon daemon(std::string(1, '\0'), false);  // half a reply, then the close
    const Outcome outcome = run(kVornlogin, {"-p", "pw", daemon.address()});
    EXPECT_EQ(2, outcome.exitCode);
    EXPECT_EQ("vornlogin: the connection to " + daemon.address() +
                  " ended before the login reply\n",
              outcome.err);
  }
  {
    // A port nothing listens on any more.
    const platform::SocketHandle probe = platform::createTcpSocket();
    ASSERT_TRUE(platform::bindSocket(probe, {platform::kLoopbackAddress, 0}));
    const std::uint16_t port = platform::localPort(probe);
    platform::closeSocket(probe);
    const std::string where = "127.0.0.1:" + std::to_string(port);
    const Outcome outcome = run(kVornlogin, {"-p", "pw", where});
    EXPECT_EQ(2, outcome.exitCode);
    EXPECT_EQ("vornlogin: cannot connect to " + where +
                  ": No connection could be made because the target machine actively refused "
                  "it. (error 10061)\n",
              outcome.err);
  }
  {
    const Outcome outcome = run(kVornlogin, {"-p", "pw", "127.0.0.1:70000"});
    EXPECT_EQ(2, outcome.exitCode);
    EXPECT_EQ(
        "vornlogin: bad port \"70000\" (a number from 1 to 65535) (see vornlogin --help)\n",
        outcome.err);
  }
  {
    // No password line at all: nothing is sent.
    const Outcome outcome = run(kVornlogin, {"127.0.0.1:1"});
    EXPECT_EQ(2, outcome.exitCode);
    EXPECT_EQ("Password: vornlogin: no password read: Reached the end of the file. (error 38)\n",
              outcome.err);
  }
  const Outcome help = run(kVornlogin, {"-h"});
  EXPECT_EQ(0, help.exitCode);
  EXPECT_EQ(0u, help.out.find("usage: vornlogin "));
  EXPECT_EQ("", help.err);
}

TEST(EchoEngineProgram, WithoutAUsableSocketItExplainsAndExitsWithTwo) {
  Outcome outcome = run(kEngine, {"-ap=x"});
  EXPECT_EQ(2, outcome.exitCode);
  EXPECT_EQ(
      "vorn-echo-engine: no socket: start it with -f=N, N the number of a connected socket\n",
      outcome.err);
  outcome = run(kEngine, {"-f=1x"});
  EXPECT_EQ(2, outcome.exitCode);
  EXPECT_NE(std::string::npos, outcome.err.find("no socket")) << outcome.err;
  // Standard input is a pipe here: a descriptor, but no socket.
  outcome = run(kEngine, {"-f=0"});
  EXPECT_EQ(2, outcome.exitCode);
  EXPECT_EQ("vorn-echo-engine: -f=0 is no usable socket: error 10038\n", outcome.err);
  EXPECT_EQ("", outcome.out);
}

TEST(PlatformNet, AdoptingTakesASocketAndRefusesAnythingElse) {
  const platform::SocketHandle socket = platform::createTcpSocket();
  ASSERT_NE(platform::kInvalidSocket, socket);
  EXPECT_EQ(socket, platform::adoptInheritedSocket(socket));
  platform::closeSocket(socket);

  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  for (std::uintptr_t number : {static_cast<std::uintptr_t>(fds[0]), std::uintptr_t{1} << 40}) {
    platform::setLastError(0);
    EXPECT_EQ(platform::kInvalidSocket, platform::adoptInheritedSocket(number)) << number;
    EXPECT_EQ(platform::kWsaNotSocket, platform::lastSocketError()) << number;
  }
  close(fds[0]);
  close(fds[1]);
}

// --- The hidden line on a terminal ---------------------------------------------

// Standard input swapped for a pseudo-terminal for as long as it lives.
class TerminalInput {
 public:
  TerminalInput() {
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) return;
    m_slave = open(ptsname(m_master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave < 0) return;
    m_savedInput = dup(0);
    m_ready = m_savedInput >= 0 && dup2(m_slave, 0) == 0;
  }
  ~TerminalInput() {
    if (m_savedInput >= 0) {
      dup2(m_savedInput, 0);
      close(m_savedInput);
    }
    if (m_slave >= 0) close(m_slave);
    if (m_master >= 0) close(m_master);
  }
  bool ready() const { return m_ready; }
  int master() const { return m_master; }
  bool echoing() const {
    termios mode;
    return tcgetattr(m_slave, &mode) == 0 && (mode.c_lflag & ECHO) != 0;
  }
  // What the terminal has shown so far.
  std::string shown() const {
    std::string text;
    char buffer[256];
    pollfd entry{m_master, POLLIN, 0};
    while (poll(&entry, 1, 100) > 0) {
      const ssize_t n = read(m_master, buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
  }

 private:
  int m_master = -1, m_slave = -1, m_savedInput = -1;
  bool m_ready = false;
};

TEST(HiddenLine, TypingIsNotShownAndWhatFollowsStaysUnread) {
  TerminalInput terminal;
  if (!terminal.ready()) GTEST_SKIP() << "no pseudo-terminal here";
  ASSERT_TRUE(terminal.echoing());

  // Types only once echo is off, as a person would after the prompt.
  std::thread typist([&terminal] {
    for (int i = 0; i < 2000 && terminal.echoing(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const char typed[] = "hunter2\nnext line\n";
    if (write(terminal.master(), typed, sizeof typed - 1) < 0) ADD_FAILURE();
  });
  std::string line;
  const bool read = platform::readHiddenLine("Password: ", line);
  typist.join();
  ASSERT_TRUE(read) << platform::lastError();
  EXPECT_EQ("hunter2", line);
  EXPECT_TRUE(terminal.echoing());
  EXPECT_EQ(std::string::npos, terminal.shown().find("hunter2"));

  char rest[64];
  pollfd entry{0, POLLIN, 0};
  ASSERT_EQ(1, poll(&entry, 1, kLimitMs));
  const ssize_t n = ::read(0, rest, sizeof rest);
  EXPECT_EQ("next line\n", std::string(rest, n > 0 ? static_cast<std::size_t>(n) : 0));
}

TEST(HiddenLine, APipedLineIsReadAsItComesAndTheEndIsReported) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  const int savedInput = dup(0);
  ASSERT_EQ(0, dup2(fds[0], 0));
  const char typed[] = "pass word\r\nrest";
  ASSERT_EQ(static_cast<ssize_t>(sizeof typed - 1), write(fds[1], typed, sizeof typed - 1));
  close(fds[1]);

  std::string first, second, third;
  const bool firstRead = platform::readHiddenLine(nullptr, first);
  const bool secondRead = platform::readHiddenLine(nullptr, second);
  const bool thirdRead = platform::readHiddenLine(nullptr, third);
  const platform::ErrorCode error = platform::lastError();
  dup2(savedInput, 0);
  close(savedInput);
  close(fds[0]);

  EXPECT_TRUE(firstRead);
  EXPECT_EQ("pass word", first);
  EXPECT_TRUE(secondRead);  // a last line without its end
  EXPECT_EQ("rest", second);
  EXPECT_FALSE(thirdRead);
  EXPECT_EQ(38u, error);  // ERROR_HANDLE_EOF
}

}  // namespace
