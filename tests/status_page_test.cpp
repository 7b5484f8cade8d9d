// The status page: its exact bytes from given values, and its delivery
// over a loopback connection by the daemon.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/vornd.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/service_manager.h"
#include "session/page_delivery.h"
#include "session/socket.h"
#include "session/status_page.h"

namespace {

using platform::Ipv4Endpoint;
using platform::kInvalidSocket;
using platform::kLoopbackAddress;

// What follows the empty line that ends the header.
std::string bodyOf(const std::string& response) {
  const std::size_t end = response.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : response.substr(end + 4);
}

// The line of the body that follows the given one.
std::string lineAfter(const std::string& body, const std::string& line) {
  const std::size_t at = body.find(line + "\r\n");
  if (at == std::string::npos) return "<missing: " + line + ">";
  const std::size_t start = at + line.size() + 2;
  return body.substr(start, body.find("\r\n", start) - start);
}

TEST(StatusPage, ResponseIsExactForASmallConfiguration) {
  const std::map<std::string, std::string> environment = {
      {"$SYSUID", "alice"}, {"*Secret", "x"}, {"EMPTY", ""}, {"PATH", "/a&b<c>"}, {"Z$", "1"}};
  StatusPageValues values;
  values.serviceName = "Main<&>";
  values.processId = 4321;
  values.buildDate = "Dec  6 2005";
  values.engine = "C:\\Vorn\\engine.exe";
  values.port = 8061;
  values.method = "HTPassword";
  values.includeSystemEnv = false;
  values.served = 7;
  values.rejected = 12;
  values.environment = &environment;

  const std::string body =
      "<html><head><title>Main<&> Status</title></head><body>\r\n"
      "<STYLE TYPE=\"text/css\"> \r\n"
      "  body { background-color: #146c86 }\r\n"
      "  H1 { font-size: 20 pt; font-style: color : #FFFFFF }\r\n"
      "  .t1 { border:146c86; }\r\n"
      "  .th { color: #000000; background-color: #828483; }\r\n"
      "  .tb { color: #EAEDEE; background-color: #828483; }\r\n"
      "</STYLE>\r\n"
      "<H1>Main<&></H1>\r\n"
      "<table class= \"t1\" border=\"1\" width=\"100%\" cellspacing=\"0\" cellpadding=\"0\">\r\n"
      "<tr><td class=\"th\">Version</td><td class=\"th\">4.2.8</td></tr>\r\n"
      "<tr><td class=\"th\">Compiled On</td><td class=\"th\">Dec  6 2005</td></tr>\r\n"
      "<tr><td class=\"th\">Service Name</td><td class=\"th\">Main<&></td></tr>\r\n"
      "<tr><td class=\"th\">Process ID</td><td class=\"th\">4321</td></tr>\r\n"
      "<tr><td class=\"th\">Engine Name</td><td class=\"th\">C:\\Vorn\\engine.exe</td></tr>\r\n"
      "<tr><td class=\"th\">Listening On Port</td><td class=\"th\">8061</td></tr>\r\n"
      "<tr><td class=\"th\">Authentication Method</td><td class=\"th\">HTPassword</td></tr>\r\n"
      "<tr><td class=\"th\">Load System Environment Variables?</td>"
      "<td class=\"th\">No</td></tr>\r\n"
      "<tr><td class=\"th\">Clients Served</td><td class=\"th\">7</td></tr>\r\n"
      "<tr><td class=\"th\">Clients Rejected</td><td class=\"th\">12</td></tr>\r\n"
      "<tr><td>Environment Variables:</td><td>&nbsp;</td></tr>\r\n"
      "<tr><td class=\"tb\">EMPTY</td><td class=\"tb\">&nbsp;</td></tr>\r\n"
      "<tr><td class=\"tb\">PATH</td><td class=\"tb\">/a&b<c></td></tr>\r\n"
      "<tr><td class=\"tb\">Z$</td><td class=\"tb\">1</td></tr>\r\n"
      "</table>\r\n"
      "</body></html>\r\n";
  const std::string expected =
      "HTTP/1.0 200 OK\r\n"
      "Server: vavazoza\r\n"
      "Content-Type: text/html\r\n"
      "Content-Length: " + std::to_string(body.size()) + "\r\n"
      "\r\n" + body;

  EXPECT_EQ(statusPageResponse(values), expected);
}

TEST(StatusPage, ExtremeNumbersFlagSetAndNoVariables) {
  const std::map<std::string, std::string> environment = {{"$", "a"}, {"*", "b"}};
  StatusPageValues values;
  values.serviceName = "s";
  values.processId = std::numeric_limits<std::uint32_t>::max();
  values.buildDate = "Jan 10 2031";
  values.port = 70000;  // the full configured number, not the 16 bits bound
  values.method = "";
  values.includeSystemEnv = true;
  values.served = std::numeric_limits<std::int32_t>::max();
  values.rejected = 0;
  values.environment = &environment;

  const std::string response = statusPageResponse(values);
  const std::string body = bodyOf(response);
  ASSERT_FALSE(body.empty());
  EXPECT_NE(response.find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n"),
            std::string::npos);
  EXPECT_NE(body.find("<td class=\"th\">4294967295</td>"), std::string::npos);
  EXPECT_NE(body.find("<td class=\"th\">70000</td>"), std::string::npos);
  EXPECT_NE(body.find(">Load System Environment Variables?</td><td class=\"th\">Yes</td>"),
            std::string::npos);
  EXPECT_NE(body.find(">Clients Served</td><td class=\"th\">2147483647</td>"), std::string::npos);
  EXPECT_NE(body.find(">Clients Rejected</td><td class=\"th\">0</td>"), std::string::npos);
  // An empty setting is written as it is; only variables get "&nbsp;".
  EXPECT_NE(body.find(">Authentication Method</td><td class=\"th\"></td>"), std::string::npos);
  EXPECT_EQ(lineAfter(body, "<tr><td>Environment Variables:</td><td>&nbsp;</td></tr>"),
            "</table>");
}

TEST(StatusPage, ContentLengthFollowsALargeEnvironment) {
  std::map<std::string, std::string> environment;
  for (int i = 0; i < 300; ++i) {
    environment["VAR" + std::to_string(i)] = std::string(static_cast<std::size_t>(i), 'v');
  }
  const std::string longName(500, 'n');
  StatusPageValues values;
  values.serviceName = longName;
  values.buildDate = "Feb  1 2024";
  values.environment = &environment;

  const std::string response = statusPageResponse(values);
  const std::string body = bodyOf(response);
  EXPECT_GT(body.size(), 45000u);
  EXPECT_NE(response.find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n"),
            std::string::npos);
  EXPECT_EQ(lineAfter(body, "<tr><td class=\"tb\">VAR0</td><td class=\"tb\">&nbsp;</td></tr>"),
            "<tr><td class=\"tb\">VAR1</td><td class=\"tb\">v</td></tr>");
  EXPECT_EQ(body.substr(body.size() - 26), "</table>\r\n</body></html>\r\n");
}

TEST(StatusPage, BuildDateHasTheCompilersForm) {
  const std::string date = statusPageBuildDate();
  ASSERT_EQ(date.size(), 11u);
  EXPECT_NE(std::string("JanFebMarAprMayJunJulAugSepOctNovDec").find(date.substr(0, 3)),
            std::string::npos);
  EXPECT_EQ(date[3], ' ');
  EXPECT_TRUE(date[4] == ' ' || (date[4] >= '1' && date[4] <= '3')) << date;
  EXPECT_TRUE(date[5] >= '0' && date[5] <= '9') << date;
  EXPECT_EQ(date[6], ' ');
  EXPECT_EQ(date.find_first_not_of("0123456789", 7), std::string::npos) << date;
}

// The response as a sender takes it, piece after piece.
std::string joined(const PageResponse& response) {
  std::string all;
  for (std::string_view piece; !(piece = response.pieceAt(all.size())).empty();) all += piece;
  return all;
}

TEST(SharedStatusPage, PiecesAreTheWholeResponse) {
  // A body of 9999 bytes with one-digit counters, 10000 with a two-digit one.
  std::map<std::string, std::string> edge = {{"FILL", "x"}};
  StatusPageValues values{"Main<&>", 4321, "Dec  6 2005", "engine", 8061, "HTPassword",
                          false,     1,    1,             &edge};
  edge["FILL"].append(9999 - bodyOf(statusPageResponse(values)).size(), 'x');
  const std::vector<std::map<std::string, std::string>> environments = {
      {},
      {{"$", "a"}, {"*", "b"}, {"$SYSUID", "alice"}, {"*Secret", "x"}},
      {{"$SYSUID", "alice"}, {"", ""}, {"EMPTY", ""}, {"PATH", "/a&b<c>"}, {"Z$", ""}},
      {{"BIG", std::string(1 << 20, 'b')}, {"HUGE", std::string(3 << 20, 'h')}, {"S", "s"}},
      edge};
  const std::int32_t counters[][2] = {{0, 0}, {1, 1}, {10, 1}, {1, 10}, {123456, 99},
                                      {std::numeric_limits<std::int32_t>::max(), 0}};
  for (const auto& environment : environments) {
    values.environment = &environment;
    const StatusPage page(values);
    for (const auto& [served, rejected] : counters) {
      values.served = served;
      values.rejected = rejected;
      // Not EXPECT_EQ: a failure would print megabytes.
      EXPECT_TRUE(joined(page.response(served, rejected)) == statusPageResponse(values))
          << environment.size() << " variables, " << served << "/" << rejected;
    }
  }
  values.environment = &edge;
  const StatusPage edgePage(values);
  EXPECT_NE(joined(edgePage.response(1, 1)).find("Length: 9999\r\n"), std::string::npos);
  EXPECT_NE(joined(edgePage.response(10, 1)).find("Length: 10000\r\n"), std::string::npos);
}

TEST(SharedStatusPage, ResponsesShareOneTailAndWalkFromAnyOffset) {
  std::map<std::string, std::string> environment = {{"BIG", std::string(4000, 'b')}};
  std::string name = "svc";
  StatusPageValues values{name, 1, "Jan  1 2030", "engine", 1, "Vorn", false, 5, 100, &environment};
  const std::string expected = statusPageResponse(values);
  auto page = std::make_unique<StatusPage>(values);
  const PageResponse response = page->response(5, 100);
  const PageResponse other = page->response(12345, 7);
  // Neither the values nor the page need outlive a response.
  name = "xyz";
  environment.clear();
  page.reset();

  const std::size_t head = response.pieceAt(0).size();
  EXPECT_LT(head, 2000u);
  EXPECT_EQ(response.pieceAt(head).data(), other.pieceAt(other.pieceAt(0).size()).data());
  ASSERT_EQ(response.size(), expected.size());
  for (std::size_t offset = 0; offset < expected.size(); ++offset) {
    const std::string_view piece = response.pieceAt(offset);
    ASSERT_FALSE(piece.empty()) << offset;
    ASSERT_TRUE(offset + piece.size() == head || offset + piece.size() == expected.size());
    ASSERT_EQ(piece, std::string_view(expected).substr(offset, piece.size())) << offset;
  }
  EXPECT_TRUE(response.pieceAt(expected.size()).empty());
  EXPECT_TRUE(PageResponse().pieceAt(0).empty());
}

class PageDaemon : public CVornD {
 public:
  PageDaemon() : CVornD("Page&Daemon", "Page&Daemon", platform::kServiceWin32OwnProcess) {
    m_config.VornExecutable = "/opt/vorn/engine";
    m_config.SockPort = 9011;
    m_config.AuthenticationMethod = "HTPassword";
    m_config.IncludeSystemEnv = false;
    m_config.Environment = {{"$SYSUIDP", "secret"}, {"HOME", "/home/x"}, {"NONE", ""}};
    m_nClientsServed = 3;
    m_nClientsRejected = 5;
  }

  std::string expectedResponse() const { return statusPageResponse(statusPageValues()); }

  // The page as the connection loop sends it, taking the socket over; a
  // page that does not fit at once is sent on as the client reads.
  void sendPage(std::unique_ptr<CSocket>& server) {
    ClientConnection connection;
    connection.client = std::move(server);
    beginPage(connection, statusPage(), 5);
    while (progressPage(connection, 5)) {
      platform::sleepMs(1);
    }
    server = std::move(connection.client);
  }
};

class StatusPageDelivery : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(platform::startSockets(), 0u);
    m_listener = std::make_unique<CSocket>(platform::createTcpSocket());
    ASSERT_NE(m_listener->Handle(), kInvalidSocket);
    ASSERT_TRUE(platform::bindSocket(m_listener->Handle(), Ipv4Endpoint{kLoopbackAddress, 0}));
    ASSERT_TRUE(platform::listenSocket(m_listener->Handle(), 2));
    const std::uint16_t port = platform::localPort(m_listener->Handle());
    ASSERT_NE(port, 0);
    m_client.Connect("127.0.0.1", port);
    m_server = m_listener->Accept();
    ASSERT_NE(m_server, nullptr);
  }
  void TearDown() override {
    m_server.reset();
    m_client.Close();
    m_listener.reset();
    platform::cleanupSockets();
  }

  std::string readToEnd() {
    std::string all;
    char chunk[512];
    int got;
    while ((got = m_client.Read(chunk, sizeof chunk)) > 0) all.append(chunk, got);
    EXPECT_EQ(got, 0) << "the stream failed instead of ending";
    return all;
  }

  std::unique_ptr<CSocket> m_listener;
  CSocket m_client;
  std::unique_ptr<CSocket> m_server;
};

TEST_F(StatusPageDelivery, ClientReadsTheWholeResponseThenEndOfStream) {
  // The request is never read: what the client sent stays unanswered by
  // anything but the page.
  const std::string request = "GET /anything HTTP/1.0\r\nHost: x\r\n\r\n";
  ASSERT_EQ(m_client.Send(request), static_cast<int>(request.size()));
  PageDaemon daemon;
  daemon.sendPage(m_server);
  EXPECT_EQ(m_server->Handle(), kInvalidSocket);

  const std::string received = readToEnd();
  const std::string expected = daemon.expectedResponse();
  EXPECT_EQ(received, expected);
  EXPECT_NE(received.find("<title>Page&Daemon Status</title>"), std::string::npos);
  EXPECT_NE(received.find(">" + std::to_string(platform::currentProcessId()) + "</td>"),
            std::string::npos);
  EXPECT_NE(received.find(">NONE</td><td class=\"tb\">&nbsp;</td>"), std::string::npos);
  EXPECT_EQ(received.find("SYSUIDP"), std::string::npos);
  EXPECT_EQ(received.find("secret"), std::string::npos);
}

TEST_F(StatusPageDelivery, ClientGoneFirstStillLeavesTheSocketClosed) {
  m_client.Close();
  PageDaemon daemon;
  daemon.sendPage(m_server);
  EXPECT_EQ(m_server->Handle(), kInvalidSocket);
}

}  // namespace
