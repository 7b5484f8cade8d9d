// Accepted clients handed to a real engine process: the test binary itself,
// which reports over the handed-over socket what it was given.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "engine_probe.h"
#include "platform/command_line.h"
#include "platform/process.h"
#include "serving_fixture.h"

namespace {

using testing_support::kAccepted;
using testing_support::kRefused;
using testing_support::ProbeReport;
using testing_support::record;

// The 46 bytes of a record's startup from its four sub-fields, each padded
// to its width with the given byte.
std::string startupFields(const std::string& ap, const std::string& db, const std::string& type,
                          const std::string& process, char pad = ' ') {
  auto field = [pad](std::string text, std::size_t width) {
    text.resize(width, pad);
    return text;
  };
  return field(ap, 3) + field(db, 3) + field(type, 10) + field(process, 30);
}

class EngineLaunch : public testing_support::ServingFixture {
 protected:
  EngineLaunch() {
    config("AuthenticationMethod", "Vorn");
    config("IncludeSystemEnv", "No");
    config("VornExecutable",
           testing_support::serviceHostCommandLine("engine-probe", "report"));
  }

  // Logs in, expects the acceptance, and reads what the engine reported.
  ProbeReport login(const std::string& bytes) {
    const std::string reply = exchange(bytes);
    EXPECT_EQ(kAccepted, reply.substr(0, 2));
    ProbeReport report = testing_support::parseProbeReport(reply.substr(2));
    EXPECT_TRUE(report.complete) << reply;
    return report;
  }

  // The arguments after the probe's own (program, host option, host name,
  // mode), with the socket number replaced by N once it proved a number.
  static std::vector<std::string> pieces(const ProbeReport& report) {
    std::vector<std::string> rest;
    if (report.args.size() < 4) return rest;
    rest.assign(report.args.begin() + 4, report.args.end());
    if (!rest.empty() && std::regex_match(rest[0], std::regex("-f=[0-9]+"))) rest[0] = "-f=N";
    return rest;
  }
};

using Args = std::vector<std::string>;

TEST_F(EngineLaunch, ClientPiecesFollowTheInstanceOnesEachAsOneArgument) {
  config("VornApplication", "APP");
  config("ServiceDisableFms", "Yes");
  config("LogAllEvents", "Yes");
  start();

  EXPECT_EQ((Args{"-f=N", "-ap=APP", "-ap=ab"}),
            pieces(login(record("u", "p", startupFields("ab", "", "", "")))));
  // NUL padding as blanks; a value's inner blank stays; a NUL inside a
  // value ends the command line there.
  EXPECT_EQ((Args{"-f=N", "-ap=APP", "-type=a b", "-process=x"}),
            pieces(login(record("u", "p",
                                startupFields("", "", "a b", std::string("x\0y", 3), '\0')))));
  EXPECT_EQ((Args{"-f=N", "-ap=APP"}),
            pieces(login(record("u", "p", startupFields("", "", "", "", '\0')))));
  // A server startup takes its own argument and no client pieces.
  EXPECT_EQ((Args{"-f=N", "-ap=APP", "-odbc_server"}),
            pieces(login(record("u", "p", "-odbc_server ab"))));

  // Nothing a client writes becomes an argument of its own, even one the
  // instance refuses.
  EXPECT_EQ((Args{"-f=N", "-ap=APP", "-process=x -fms_server"}),
            pieces(login(record("u", "p", startupFields("", "", "", "x -fms_server")))));
  EXPECT_EQ((Args{"-f=N", "-ap=APP", "-db=a\"b", "-process=x\" -odbc_server \"y\\"}),
            pieces(login(record("u", "p",
                                startupFields("", "a\"b", "", "x\" -odbc_server \"y\\")))));

  const std::string text = log();
  const std::regex line("\nstartEngine - command line \\(.*engine-probe report -f=[0-9]+ "
                        "-ap=APP -ap=ab\\)\nEnvironment\n");
  EXPECT_TRUE(std::regex_search(text, line)) << text;
  EXPECT_NE(std::string::npos, text.find("\nstartEngine - ack\n"));
  EXPECT_EQ("6/0", counters());
}

TEST_F(EngineLaunch, InstancePiecesAloneWhenClientCommandsAreOff) {
  config("VornApplication", "A");
  config("VornDatabase", "D");
  config("VornProcessType", "T");
  config("VornProcessName", "P");
  config("ServiceDisableCmds", "Yes");
  start();
  EXPECT_EQ((Args{"-f=N", "-ap=A", "-db=D", "-type=T", "-proc=P"}),
            pieces(login(record("u", "p", startupFields("ab", "cd", "ef", "gh")))));
  EXPECT_EQ((Args{"-f=N", "-ap=A", "-db=D", "-type=T", "-proc=P", "-fms_server"}),
            pieces(login(record("u", "p", "-fms_server"))));
}

TEST_F(EngineLaunch, EnvironmentInByteOrderWithTheCredentialsKeptOutOfTheLog) {
  config("LogAllEvents", "Yes");
  ASSERT_EQ(0u, m_service.setText("Environment", "Zed", "last"));
  ASSERT_EQ(0u, m_service.setText("Environment", "_low", "after Z"));
  ASSERT_EQ(0u, m_service.setText("Environment", "A1", "first"));
  ASSERT_EQ(0u, m_service.setText("Environment", "$OWN", "mine"));
  start();
  const ProbeReport report = login(record("alice", "s3cret"));

  // The system may add entries of its own, and Wine puts its own
  // SystemDrive and SystemRoot; the list's other entries arrive in the
  // list's order.
  const std::vector<std::string> names = {"$OWN", "$SYSUID", "$SYSUIDP", "A1", "Zed", "_low"};
  std::vector<std::string> ours;
  for (const std::string& entry : report.env) {
    const std::string name = entry.substr(0, entry.find('='));
    if (std::find(names.begin(), names.end(), name) != names.end()) ours.push_back(entry);
  }
  ASSERT_EQ(names.size(), ours.size()) << ::testing::PrintToString(report.env);
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(0u, ours[i].rfind(names[i] + "=", 0)) << ::testing::PrintToString(ours);
  }
  EXPECT_EQ("$SYSUID=alice", ours[1]);
  EXPECT_EQ("$SYSUIDP=s3cret", ours[2]);
  EXPECT_EQ("A1=first", ours[3]);

  const std::string text = log();
  const std::size_t heading = text.find("\nEnvironment\nA1=first\nSystemDrive=");
  EXPECT_NE(std::string::npos, heading) << text;
  EXPECT_NE(std::string::npos, text.find("\nZed=last\n_low=after Z\n", heading));
  EXPECT_EQ(std::string::npos, text.find("s3cret"));
  EXPECT_EQ(std::string::npos, text.find("$"));
}

TEST_F(EngineLaunch, AFailedLaunchAnswersTheClientAgainAndStillCountsItServed) {
  config("VornExecutable", m_dir.file("no-such-engine"));
  start();
  EXPECT_EQ(kAccepted + kRefused, exchange(record("u", "p")));
  EXPECT_EQ("1/0", counters());

  // Both lines without LogAllEvents; the system's text varies by system.
  const std::string text = log();
  const std::regex lines("\nstartEngine CreateProcess failed: [^\n]+\nstartEngine - nack\n");
  EXPECT_TRUE(std::regex_search(text, lines)) << text;
  const auto events = m_tap.events();
  const bool reported = std::any_of(events.begin(), events.end(), [](const auto& event) {
    return event.type == platform::EventType::Error &&
           event.text.find("CreateProcess failed") != std::string::npos;
  });
  EXPECT_TRUE(reported);
}

// The whole conversation: acceptance, then the sample engine's greeting
// and echo on the same connection, then its end when the client stops.
// Only the socket and the standard handles reach an engine, which may run
// as the client's account: never a write handle to the daemon's log.
TEST_F(EngineLaunch, TheDaemonsLogReachesNoEngine) {
  start();
  const ProbeReport report = login(record("alice", "s3cret"));
  ASSERT_TRUE(report.complete);
  ASSERT_NE(std::string::npos, log().find("CVornD::Run starting")) << "the log is open";
  for (const std::string& file : report.files) {
    EXPECT_EQ(std::string::npos, file.find("serve.log")) << file;
  }
}

TEST_F(EngineLaunch, TheClientTalksToTheSampleEngineAfterItsAcceptance) {
  std::string program = platform::moduleFileName();
  const bool exe = program.size() > 4 && program.compare(program.size() - 4, 4, ".exe") == 0;
  program = program.substr(0, program.find_last_of("/\\") + 1) + "vorn-echo-engine" +
            (exe ? ".exe" : "");
  config("VornExecutable", platform::quoteArgument(program));
  start();
  testing_support::Client client(m_port);
  ASSERT_TRUE(client.connected());
  client.send(record("bob", "pw") + "ping\n");
  client.shutdownSend();
  EXPECT_EQ(kAccepted + "hello, bob\nping\n", client.readAll());
  EXPECT_EQ("1/0", counters());
}

TEST(EngineCommandLine, PiecesAndBlockFromTheDaemonAlone) {
  std::string line = "engine";
  CVornD::appendStartupArg(line, "type", "          ", 10);
  CVornD::appendStartupArg(line, "ap", "\0\0\0", 3);
  EXPECT_EQ("engine", line);
  CVornD::appendStartupArg(line, "db", "a\\ ", 3);
  CVornD::appendStartupArg(line, "process", "tab\there\0 ", 10);
  EXPECT_EQ("engine -db=a\\ -process=\"tab\there\"", line);

  CVornD daemon("blocks", "blocks", platform::kServiceWin32OwnProcess);
  // An empty list still ends in two NULs.
  EXPECT_EQ(std::string(2, '\0'), daemon.buildEnvironment(nullptr, nullptr));
  const std::string user = "u", password = "";
  EXPECT_EQ(std::string("$SYSUID=u\0$SYSUIDP=\0\0", 21), daemon.buildEnvironment(&user, &password));
  // The list is shared by launches on several threads: it stays as loaded.
  EXPECT_TRUE(daemon.config().Environment.empty());

  // The credentials go in at their places among the list's names, over a
  // value the list has for one of them.
  struct ListDaemon : CVornD {
    ListDaemon() : CVornD("blocks2", "blocks2", platform::kServiceWin32OwnProcess) {
      m_config.Environment = {{"$A", "1"}, {"$SYSUIDP", "stored"}, {"PATH", "/bin"}};
    }
  } listed;
  const std::string name = "n", secret = "s";
  EXPECT_EQ(std::string("$A=1\0$SYSUID=n\0$SYSUIDP=s\0PATH=/bin\0\0", 37),
            listed.buildEnvironment(&name, &secret));
  EXPECT_EQ(std::string("$A=1\0$SYSUIDP=stored\0PATH=/bin\0\0", 32),
            listed.buildEnvironment(nullptr, nullptr));
  EXPECT_EQ("stored", listed.config().Environment.at("$SYSUIDP"));
}

}  // namespace
