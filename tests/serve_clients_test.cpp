// A daemon serving real connections on a loopback port chosen by the
// system: the status page, the login record's screening and replies, the
// counters, clients that send too little or nothing, and controls that
// arrive while the daemon waits.
#include <gtest/gtest.h>

#include <string>

#include "serving_fixture.h"

using testing_support::ScopedRegistryKey;

namespace {

using testing_support::Client;
using testing_support::kAccepted;
using testing_support::kRefused;
using testing_support::record;

class ServeClients : public testing_support::ServingFixture {};

TEST_F(ServeClients, StatusPageByteForByte) {
  config("AuthenticationMethod", "Vorn");
  config("VornExecutable", "C:\\vorn<&>\\vorn.exe");
  config("IncludeSystemEnv", "No");
  ASSERT_EQ(0u, m_service.setText("Environment", "VORNPATH", "c:\\vorn\\data"));
  ASSERT_EQ(0u, m_service.setText("Environment", "EMPTY", ""));
  ASSERT_EQ(0u, m_service.setText("Environment", "$HIDDEN", "x"));
  ASSERT_EQ(0u, m_service.setText("Environment", "*HIDDEN", "x"));
  start();
  const std::string text = page();
  const std::string body =
      "<html><head><title>" + m_name + " Status</title></head><body>\r\n"
      "<STYLE TYPE=\"text/css\"> \r\n"
      "  body { background-color: #146c86 }\r\n"
      "  H1 { font-size: 20 pt; font-style: color : #FFFFFF }\r\n"
      "  .t1 { border:146c86; }\r\n"
      "  .th { color: #000000; background-color: #828483; }\r\n"
      "  .tb { color: #EAEDEE; background-color: #828483; }\r\n"
      "</STYLE>\r\n"
      "<H1>" + m_name + "</H1>\r\n"
      "<table class= \"t1\" border=\"1\" width=\"100%\" cellspacing=\"0\" cellpadding=\"0\">\r\n"
      "<tr><td class=\"th\">Version</td><td class=\"th\">4.2.8</td></tr>\r\n"
      "<tr><td class=\"th\">Compiled On</td><td class=\"th\">DATE</td></tr>\r\n"
      "<tr><td class=\"th\">Service Name</td><td class=\"th\">" + m_name + "</td></tr>\r\n"
      "<tr><td class=\"th\">Process ID</td><td class=\"th\">PID</td></tr>\r\n"
      "<tr><td class=\"th\">Engine Name</td><td class=\"th\">C:\\vorn<&>\\vorn.exe</td></tr>\r\n"
      "<tr><td class=\"th\">Listening On Port</td><td class=\"th\">PORT</td></tr>\r\n"
      "<tr><td class=\"th\">Authentication Method</td><td class=\"th\">Vorn</td></tr>\r\n"
      "<tr><td class=\"th\">Load System Environment Variables?</td><td class=\"th\">No</td></tr>\r\n"
      "<tr><td class=\"th\">Clients Served</td><td class=\"th\">0</td></tr>\r\n"
      "<tr><td class=\"th\">Clients Rejected</td><td class=\"th\">0</td></tr>\r\n"
      "<tr><td>Environment Variables:</td><td>&nbsp;</td></tr>\r\n"
      "<tr><td class=\"tb\">EMPTY</td><td class=\"tb\">&nbsp;</td></tr>\r\n"
      "ENVIRONMENT"
      "<tr><td class=\"tb\">VORNPATH</td><td class=\"tb\">c:\\vorn\\data</td></tr>\r\n"
      "</table>\r\n"
      "</body></html>\r\n";
  // The process id, the build date and the daemon's own SystemDrive and
  // SystemRoot rows vary; everything else is fixed.
  std::string pattern;
  for (char c : body) {
    if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) pattern += '\\';
    pattern += c;
  }
  auto replace = [&pattern](const std::string& what, const std::string& with) {
    pattern.replace(pattern.find(what), what.size(), with);
  };
  replace("DATE", "[A-Z][a-z][a-z] [ 1-3][0-9] [0-9]{4}");
  replace("PID", "[0-9]+");
  replace("PORT", std::to_string(m_port));
  replace("ENVIRONMENT",
          "<tr><td class=\"tb\">SystemDrive</td><td class=\"tb\">[^<]*</td></tr>\r\n"
          "<tr><td class=\"tb\">SystemRoot</td><td class=\"tb\">[^<]*</td></tr>\r\n");
  const std::string::size_type split = text.find("\r\n\r\n");
  ASSERT_NE(std::string::npos, split) << text;
  const std::string head = text.substr(0, split + 4);
  const std::string received = text.substr(split + 4);
  EXPECT_EQ("HTTP/1.0 200 OK\r\nServer: vavazoza\r\nContent-Type: text/html\r\nContent-Length: " +
                std::to_string(received.size()) + "\r\n\r\n",
            head);
  EXPECT_TRUE(std::regex_match(received, std::regex(pattern))) << received;
  EXPECT_NE(std::string::npos, received.find(">" + std::to_string(platform::currentProcessId()) + "<"));
}

// StatusPageFrom narrows who sees the page: from elsewhere a bare 403,
// one line a second per address.
TEST_F(ServeClients, OnlyStatusPageFromSeesThePage) {
  config("StatusPageFrom", "127.0.0.1, 10.0.0.0/8");
  config("AuthenticationMethod", "HTPassword");
  start();
  EXPECT_NE(page().find("Clients Served"), std::string::npos);
  for (int i = 0; i < 3; ++i) {
    Client other(m_port, 0x7F000002);
    other.send("GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(other.readAll(),
              "HTTP/1.0 403 Forbidden\r\nContent-Type: text/plain\r\nContent-Length: 11\r\n"
              "Connection: close\r\n\r\nForbidden\r\n");
  }
  int lines = 0;
  for (const auto& event : m_tap.events()) {
    lines += event.text.rfind("Status page refused to 127.0.0.2 port ", 0) == 0 &&
             event.text.find(": not in StatusPageFrom") != std::string::npos;
  }
  EXPECT_EQ(lines, 1);
  // A record from there is served as ever: the setting is the page's.
  Client login(m_port, 0x7F000002);
  login.send(record("ann", "pw"));
  EXPECT_EQ(login.readAll(), kRefused);
}

TEST_F(ServeClients, ServiceSwitchesRefuseWithoutCounting) {
  config("ServiceDisableFms", "Yes");
  config("ServiceDisableODBC", "Yes");
  config("ServiceDisableLogins", "Yes");
  config("AuthenticationMethod", "Vorn");
  start();
  EXPECT_EQ(kRefused, exchange(record("u", "p", "-fms_server and more")));
  EXPECT_EQ(kRefused, exchange(record("u", "p", "-odbc_server")));
  EXPECT_EQ(kRefused, exchange(record("u", "p", "ap db")));
  EXPECT_EQ("0/0", counters());
  const std::string text = log();
  EXPECT_NE(std::string::npos,
            text.find("\n-fms_server found in startup and disableFMS is TRUE - rejected\n"));
  EXPECT_NE(std::string::npos,
            text.find("\n-odbc_server found in startup and disableODBC is TRUE - rejected\n"));
  EXPECT_NE(std::string::npos, text.find("\ninteractive logins are disabled - rejected\n"));
}

TEST_F(ServeClients, OnlyTheLoginSwitchLeavesServerStartupsToAuthentication) {
  config("ServiceDisableLogins", "Yes");
  config("AuthenticationMethod", "Vorn");
  start();
  EXPECT_EQ(kAccepted, exchange(record("u", "p", "-odbc_server")));
  EXPECT_EQ(kRefused, exchange(record("u", "p", "")));
  EXPECT_EQ("1/0", counters());
}

TEST_F(ServeClients, RefusingMethodCountsRejectedAndAcceptingMethodCountsServed) {
  config("AuthenticationMethod", "HTPassword");
  start();
  EXPECT_EQ(kRefused, exchange(record("alice", "secret")));
  EXPECT_EQ(kRefused, exchange(record("bob", "")));
  EXPECT_EQ("0/2", counters());
}

TEST_F(ServeClients, VornAcceptsEmptyCredentials) {
  config("AuthenticationMethod", "Vorn");
  start();
  EXPECT_EQ(kAccepted, exchange(record("", "")));
  EXPECT_EQ("1/0", counters());
}

TEST_F(ServeClients, AUserNamedLikeARequestGetsThePage) {
  config("AuthenticationMethod", "Vorn");
  start();
  const std::string reply = exchange(record("GETTY", "pw"));
  EXPECT_EQ(0u, reply.rfind("HTTP/1.0 200 OK\r\n", 0));
  EXPECT_EQ("0/0", counters());
}

TEST_F(ServeClients, ShortAndSilentClientsAreDroppedAndTheNextIsServed) {
  config("AuthenticationMethod", "Vorn");
  config("SockReceiveTimeout", "1");
  start();
  {
    Client shortRecord(m_port);
    shortRecord.send(record("u", "p").substr(0, 100));
    shortRecord.shutdownSend();
    EXPECT_EQ("", shortRecord.readAll());
  }
  {
    Client silent(m_port);
    // Queued behind the silent one: served once its second is up.
    Client next(m_port);
    next.send(record("u", "p"));
    EXPECT_EQ("", silent.readAll());
    EXPECT_EQ(kAccepted, next.readAll());
  }
  EXPECT_EQ("1/0", counters());
  EXPECT_NE(std::string::npos,
            log().find("\nnegotiateLogin - no complete login record within 1 seconds - connection "
                       "closed\n"));
}

TEST_F(ServeClients, ControlsArriveWhileWaitingAndAfterAClient) {
  config("AuthenticationMethod", "Vorn");
  start();
  m_run.daemon().HandleControl(platform::kControlPause);
  ASSERT_TRUE(testing_support::waitForState(m_tap, platform::kServicePaused));
  const std::size_t reports = m_tap.statuses().size();
  m_run.daemon().HandleControl(platform::kControlContinue);
  ASSERT_TRUE(testing_support::waitForState(m_tap, platform::kServiceRunning, reports));
  EXPECT_EQ(kAccepted, exchange(record("u", "p")));
  m_run.stop();
  EXPECT_EQ(platform::kServiceStopped, m_tap.statuses().back().currentState);
}

TEST_F(ServeClients, PortAbove65535BindsItsLow16BitsAndLogsTheWholeNumber) {
  // A port that is free now: bound, read and let go.
  const platform::SocketHandle probe = platform::createTcpSocket();
  platform::Ipv4Endpoint any;
  ASSERT_TRUE(platform::bindSocket(probe, any));
  const std::uint16_t free = platform::localPort(probe);
  platform::closeSocket(probe);
  const std::int32_t configured = 65536 + free;
  config("SockPort", std::to_string(configured));
  config("LogAllEvents", "Yes");
  config("AuthenticationMethod", "Vorn");
  start();
  EXPECT_EQ(free, m_port);
  EXPECT_EQ(kAccepted, exchange(record("u", "p")));
  EXPECT_NE(std::string::npos,
            log().find("\ncreateListener complete - listening on port " +
                       std::to_string(configured) + "\n"));
}

}  // namespace

// A port that reads as 0 would have the system pick one nobody knows: no
// port is listened on, the bind is reported as failed, it is not tried
// again, and the instance never reports running.
TEST_F(ServeClients, APortThatIsNoPortIsReportedAndNothingListens) {
  config("LogAllEvents", "Yes");
  for (const std::string text : {"0", "abc", "", "65536"}) {
    SCOPED_TRACE("SockPort \"" + text + "\"");
    config("SockPort", text);
    m_tap.clear();
    testing_support::DaemonRunner<testing_support::ServingDaemon> run(m_name);
    run.start();
    ASSERT_TRUE(testing_support::waitForNotListening(m_tap));
    EXPECT_EQ(0, run.daemon().port());
    platform::sleepMs(1300);  // past the first retry a busy port would get
    for (const auto& status : m_tap.statuses()) {
      EXPECT_NE(status.currentState, platform::kServiceRunning);
    }
    int reports = 0;
    for (const auto& event : m_tap.events()) {
      if (event.text.rfind("Can't bind listener socket to requested port failed: ", 0) == 0) ++reports;
    }
    EXPECT_EQ(1, reports);
    run.stop();
    EXPECT_EQ(std::string::npos, log().find("createListener complete")) << log();
  }
}

// Seconds by the thousand do not fit 32 bits of milliseconds: 4294968 s
// must not come out as 0.7 s.
TEST_F(ServeClients, AReceiveBoundOfYearsDoesNotWrapIntoAShortOne) {
  config("SockReceiveTimeout", "4294968");
  start();
  {
    Client silent(m_port);
    ASSERT_TRUE(silent.connected());
    EXPECT_EQ("<timeout>", silent.readAll(2000)) << "the silent client was dropped early";
  }
  // Its going frees the daemon for the next client.
  EXPECT_EQ("0/0", counters());
}
