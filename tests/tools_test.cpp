// The login client's command line and login record, and the sample engine
// started on a loopback connection the way the daemon starts it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/command_line.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/process_launch.h"
#include "session/net_login.h"
#include "vornlogin/login_record.h"
#include "vornlogin/options.h"

namespace {

using vornlogin::Options;
using vornlogin::parseArguments;
using vornlogin::Startup;

// --- The command line --------------------------------------------------------

TEST(VornloginCommandLine, TakesEveryOptionInBothFormsAndTheDefaultPort) {
  const auto parsed = parseArguments({"-u", "alice", "-p", "-secret", "--ap=AP", "--db", "-db",
                                      "--type=t y", "--process", "proc", "daemon.example"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  const Options& options = *parsed.options;
  EXPECT_FALSE(options.help);
  EXPECT_EQ("alice", options.user);
  EXPECT_EQ("-secret", options.password.value_or("<none>"));  // a value may begin with "-"
  EXPECT_EQ("AP", options.ap);
  EXPECT_EQ("-db", options.db);
  EXPECT_EQ("t y", options.type);
  EXPECT_EQ("proc", options.process);
  EXPECT_EQ(Startup::kFields, options.startup);
  EXPECT_EQ("daemon.example", options.host);
  EXPECT_EQ(vornlogin::kDefaultPort, options.port);

  const auto server = parseArguments({"--odbc", "127.0.0.1:65535"});
  ASSERT_TRUE(server.options) << server.error;
  EXPECT_EQ(Startup::kOdbc, server.options->startup);
  EXPECT_EQ("", server.options->user);
  EXPECT_FALSE(server.options->password);  // asked for later
  EXPECT_EQ("127.0.0.1", server.options->host);
  EXPECT_EQ(65535, server.options->port);

  // IPv6: in brackets with a port, bare without one.
  const struct {
    const char* word;
    const char* host;
    std::uint16_t port;
  } hosts[] = {{"[::1]:8061", "::1", 8061},
               {"[2001:db8::7]", "2001:db8::7", vornlogin::kDefaultPort},
               {"::1", "::1", vornlogin::kDefaultPort},
               {"fe80::1:2", "fe80::1:2", vornlogin::kDefaultPort}};
  for (const auto& h : hosts) {
    const auto parsed = parseArguments({h.word});
    ASSERT_TRUE(parsed.options) << h.word << ": " << parsed.error;
    EXPECT_EQ(h.host, parsed.options->host) << h.word;
    EXPECT_EQ(h.port, parsed.options->port) << h.word;
  }

  const auto help = parseArguments({"--help"});
  ASSERT_TRUE(help.options) << help.error;
  EXPECT_TRUE(help.options->help);
  EXPECT_NE(vornlogin::usageText().find("host[:port]"), std::string::npos);
}

TEST(VornloginCommandLine, TlsOptionsInBothForms) {
  const auto plain = parseArguments({"h"});
  ASSERT_TRUE(plain.options) << plain.error;
  EXPECT_FALSE(plain.options->tls);

  const auto checked = parseArguments(
      {"--ca=ca.pem", "--cert", "-c.pem", "--key=k.pem", "--tls", "-p", "pw", "h:8443"});
  ASSERT_TRUE(checked.options) << checked.error;
  EXPECT_TRUE(checked.options->tls);
  EXPECT_FALSE(checked.options->insecure);
  EXPECT_EQ("ca.pem", checked.options->ca);
  EXPECT_EQ("-c.pem", checked.options->cert);
  EXPECT_EQ("k.pem", checked.options->key);
  EXPECT_EQ("h", checked.options->host);
  EXPECT_EQ(8443, checked.options->port);

  const auto unchecked = parseArguments({"--tls", "--insecure", "h"});
  ASSERT_TRUE(unchecked.options) << unchecked.error;
  EXPECT_TRUE(unchecked.options->insecure);
  EXPECT_EQ("", unchecked.options->ca);
}

TEST(VornloginCommandLine, EveryFaultGetsItsOwnLine) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{}, "missing host"},
      {{"-u", "alice"}, "missing host"},
      {{":8060"}, "no host name in \":8060\""},
      {{"[::1"}, "no closing bracket in \"[::1\""},
      {{"[]:8060"}, "no host name in \"[]:8060\""},
      {{"[::1]8060"}, "\"8060\" after the bracketed host"},
      {{"[::1]:x"}, "bad port \"x\" (a number from 1 to 65535)"},
      {{"h:0"}, "bad port \"0\" (a number from 1 to 65535)"},
      {{"h:70000"}, "bad port \"70000\" (a number from 1 to 65535)"},
      {{"h:x"}, "bad port \"x\" (a number from 1 to 65535)"},
      {{"h:"}, "bad port \"\" (a number from 1 to 65535)"},
      {{"h:+80"}, "bad port \"+80\" (a number from 1 to 65535)"},
      {{"a", "b"}, "more than one host: \"a\" and \"b\""},
      {{"h", "-u"}, "option -u needs a value"},
      {{"h", "--type"}, "option --type needs a value"},
      {{"--apx=1", "h"}, "unknown option \"--apx=1\""},
      {{"-x", "h"}, "unknown option \"-x\""},
      {{"--fms", "--odbc", "h"}, "--fms and --odbc cannot be used together"},
      {{"--fms", "--ap", "x", "h"}, "--fms cannot be used with --ap, --db, --type or --process"},
      {{"--process=p", "--odbc", "h"},
       "--odbc cannot be used with --ap, --db, --type or --process"},
      {{"-u", std::string(21, 'u'), "h"}, "-u is 21 characters long; at most 20 fit"},
      {{"-p", std::string(53, 'p'), "h"}, "-p is 53 characters long; at most 52 fit"},
      {{"--ap", "abcd", "h"}, "--ap is 4 characters long; at most 3 fit"},
      {{"--db=abcd", "h"}, "--db is 4 characters long; at most 3 fit"},
      {{"--type", std::string(11, 't'), "h"}, "--type is 11 characters long; at most 10 fit"},
      {{"--process", std::string(31, 'p'), "h"},
       "--process is 31 characters long; at most 30 fit"},
      {{"-u", "GETTY", "h"}, "a user name beginning with \"GET\" cannot log in"},
      {{"--ca", "ca.pem", "h"}, "--ca cannot be used without --tls"},
      {{"h", "--insecure"}, "--insecure cannot be used without --tls"},
      {{"--cert=c.pem", "--key=k.pem", "h"}, "--cert cannot be used without --tls"},
      {{"--key", "k.pem", "h"}, "--key cannot be used without --tls"},
      {{"--tls", "--cert", "c.pem", "h"}, "--cert cannot be used without --key"},
      {{"--tls", "--key=k.pem", "h"}, "--key cannot be used without --cert"},
      {{"--tls", "--insecure", "--ca", "ca.pem", "h"},
       "--insecure and --ca cannot be used together"},
      {{"--tls", "--ca=", "h"}, "option --ca needs a value"},
      {{"--tls", "h", "--key"}, "option --key needs a value"},
      {{"--tlsx", "h"}, "unknown option \"--tlsx\""},
  };
  for (const Case& c : cases) {
    std::string words;
    for (const std::string& arg : c.args) words += "[" + arg + "]";
    const auto parsed = parseArguments(c.args);
    EXPECT_FALSE(parsed.options) << words;
    EXPECT_EQ(c.message, parsed.error) << words;
  }
}

// --- The login record --------------------------------------------------------

std::string range(const netLogin& record, std::size_t offset, std::size_t size) {
  return std::string(record.bytes + offset, size);
}

std::string padded(const std::string& text, std::size_t size) {
  return text + std::string(size - text.size(), '\0');
}

TEST(VornloginRecord, EveryFieldAtItsOffsetAndAllElseZero) {
  const auto parsed = parseArguments({"-u", std::string(20, 'u'), "--ap", "abc", "--db", "d",
                                      "--type", "t y", "--process", std::string(30, 'p'), "h"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  netLogin record;
  std::memset(record.bytes, 0x5A, sizeof record.bytes);  // whatever was there goes
  ASSERT_EQ("", vornlogin::buildLoginRecord(*parsed.options, std::string(52, 'w'), record));

  std::string expected = std::string(20, 'u') + '\0';  // the longest user still ends
  expected += std::string(52, 'w') + '\0';
  expected += "abc" + padded("d", 3) + padded("t y", 10) + std::string(30, 'p');
  expected += std::string(211, '\0');
  ASSERT_EQ(netLogin::kSize, expected.size());
  EXPECT_EQ(expected, range(record, 0, netLogin::kSize));
  // As the daemon reads it.
  EXPECT_EQ(std::string(20, 'u'), record.user());
  EXPECT_EQ(std::string(52, 'w'), record.password());
}

TEST(VornloginRecord, ServerStartupsAndTheirLimits) {
  netLogin record;
  const auto fms = parseArguments({"--fms", "-u", "svc", "h"});
  ASSERT_TRUE(fms.options);
  ASSERT_EQ("", vornlogin::buildLoginRecord(*fms.options, "", record));
  EXPECT_EQ(padded("-fms_server", netLogin::kStartupSize),
            range(record, netLogin::kStartup, netLogin::kStartupSize));
  EXPECT_EQ(padded("svc", netLogin::kUserSize), range(record, 0, netLogin::kUserSize));
  EXPECT_EQ(std::string(netLogin::kPasswordSize, '\0'),
            range(record, netLogin::kPassword, netLogin::kPasswordSize));
  EXPECT_TRUE(record.startupBeginsWith("-fms_server"));

  const auto odbc = parseArguments({"--odbc", "h"});
  ASSERT_TRUE(odbc.options);
  ASSERT_EQ("", vornlogin::buildLoginRecord(*odbc.options, "pw", record));
  EXPECT_EQ(padded("-odbc_server", netLogin::kStartupSize),
            range(record, netLogin::kStartup, netLogin::kStartupSize));
  EXPECT_EQ("pw", record.password());

  // The password read at the console is checked like the others, and an
  // options record that skipped the parser still cannot mix the forms.
  EXPECT_EQ("the password is 53 characters long; at most 52 fit",
            vornlogin::buildLoginRecord(*odbc.options, std::string(53, 'x'), record));
  EXPECT_EQ("the password holds a zero byte",
            vornlogin::buildLoginRecord(*odbc.options, std::string("a\0b", 3), record));
  Options mixed = *odbc.options;
  mixed.type = "t";
  EXPECT_EQ("--type cannot be used with --fms or --odbc",
            vornlogin::buildLoginRecord(mixed, "", record));
}

// --- The sample engine on a real connection -----------------------------------

class EchoEngine : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0u, platform::startSockets()); }
  void TearDown() override {
    for (platform::SocketHandle socket : m_sockets) platform::closeSocket(socket);
    platform::cleanupSockets();
  }

  // A connected pair on 127.0.0.1: the client end, and the accepted end.
  void connect(platform::SocketHandle& client, platform::SocketHandle& accepted) {
    const platform::SocketHandle listener = keep(platform::createTcpSocket());
    ASSERT_NE(platform::kInvalidSocket, listener);
    ASSERT_TRUE(platform::bindSocket(listener, {platform::kLoopbackAddress, 0}));
    ASSERT_TRUE(platform::listenSocket(listener, 1));
    client = keep(platform::createTcpSocket());
    ASSERT_TRUE(platform::connectSocket(
        client, {platform::kLoopbackAddress, platform::localPort(listener)}));
    accepted = platform::acceptSocket(listener, nullptr);
    ASSERT_NE(platform::kInvalidSocket, accepted);
  }

  // Starts the engine, built beside this test program, on the accepted
  // socket as the daemon does; then lets go of every copy of it here.
  void launch(platform::SocketHandle accepted, const std::string& environment) {
    std::string program = platform::moduleFileName();
    const std::string::size_type slash = program.find_last_of("/\\");
    const bool exe = program.size() > 4 && program.compare(program.size() - 4, 4, ".exe") == 0;
    program = program.substr(0, slash + 1) + "vorn-echo-engine" + (exe ? ".exe" : "");

    platform::SocketHandle duplicate = platform::kInvalidSocket;
    ASSERT_TRUE(platform::duplicateSocketHandle(accepted, duplicate)) << platform::lastError();
    ASSERT_TRUE(platform::setHandleInheritable(duplicate)) << platform::lastError();
    // Arguments it does not know are passed over.
    const std::string commandLine = platform::quoteArgument(program) + " -f=" +
                                    std::to_string(duplicate) +
                                    " -ap=x -process=p q -odbc_server";
    platform::ProcessLaunch engine;
    engine.commandLine = commandLine.c_str();
    engine.environment = environment.c_str();
    engine.inherited = duplicate;
    const bool started = platform::launchProcess(engine);
    const platform::ErrorCode error = platform::lastError();
    platform::closeSocketDuplicate(duplicate);
    platform::closeSocket(accepted);
    ASSERT_TRUE(started) << commandLine << ": error " << error;
  }

  // Everything until the engine closes; "<timeout>" when it does not.
  static std::string readToEnd(platform::SocketHandle socket) {
    std::string text;
    char buffer[4096];
    for (;;) {
      if (platform::waitUntilReadable(socket, 20000) != 1) return text + "<timeout>";
      const int got = platform::receiveSocket(socket, buffer, sizeof buffer);
      if (got <= 0) return text;
      text.append(buffer, static_cast<std::size_t>(got));
    }
  }

  static void sendAll(platform::SocketHandle socket, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const int sent = platform::sendSocket(socket, bytes.data() + done,
                                            static_cast<int>(bytes.size() - done));
      ASSERT_GT(sent, 0) << platform::lastSocketError();
      done += static_cast<std::size_t>(sent);
    }
  }

 private:
  platform::SocketHandle keep(platform::SocketHandle socket) {
    if (socket != platform::kInvalidSocket) m_sockets.push_back(socket);
    return socket;
  }
  std::vector<platform::SocketHandle> m_sockets;
};

std::string block(std::initializer_list<std::string> entries) {
  std::string text;
  for (const std::string& entry : entries) text += entry + '\0';
  return text + '\0';
}

TEST_F(EchoEngine, GreetsTheUserAndSendsBackEveryLineUntilTheClientStops) {
  platform::SocketHandle client, accepted;
  ASSERT_NO_FATAL_FAILURE(connect(client, accepted));
  ASSERT_NO_FATAL_FAILURE(launch(accepted, block({"$SYSUID=alice", "$SYSUIDP=pw"})));

  char greeting[32];
  const std::string expected = "hello, alice\n";
  std::size_t got = 0;
  while (got < expected.size()) {
    ASSERT_EQ(1, platform::waitUntilReadable(client, 20000));
    const int n = platform::receiveSocket(client, greeting + got,
                                          static_cast<int>(expected.size() - got));
    ASSERT_GT(n, 0);
    got += static_cast<std::size_t>(n);
  }
  EXPECT_EQ(expected, std::string(greeting, got));

  // A long line goes back whole though in pieces; the last line needs no end.
  const std::string longLine = std::string(10000, 'x') + "\n";
  const std::string input = "one\n" + std::string("\0two\r\n", 6) + longLine + "last";
  ASSERT_NO_FATAL_FAILURE(sendAll(client, input));
  ASSERT_TRUE(platform::shutdownSend(client));
  // The end of the stream: the engine has let go of the connection.
  EXPECT_EQ(input, readToEnd(client));
}

TEST_F(EchoEngine, WithoutAUserItSaysHelloAndEndsWithTheConnection) {
  platform::SocketHandle client, accepted;
  ASSERT_NO_FATAL_FAILURE(connect(client, accepted));
  ASSERT_NO_FATAL_FAILURE(launch(accepted, block({"VAR=1"})));
  ASSERT_TRUE(platform::shutdownSend(client));
  EXPECT_EQ("hello\n", readToEnd(client));
}

}  // namespace
