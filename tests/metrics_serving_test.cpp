// /metrics on a serving daemon: the counters after a known mix of logins,
// pages and closed connections; who may ask; and which request asks.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "daemon/daemon_metrics.h"
#include "platform/sync.h"
#include "serving_fixture.h"
#include "session/page_request.h"

namespace {

using testing_support::Client;
using testing_support::kAccepted;
using testing_support::kRefused;
using testing_support::record;

class MetricsServing : public testing_support::ServingFixture {
 protected:
  // Each sample, by its name and labels as written (the instance's left
  // out); the head checked on the way.
  std::map<std::string, std::string> metrics(const std::string& request = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n") {
    const std::string text = exchange(request);
    const std::size_t split = text.find("\r\n\r\n");
    EXPECT_NE(split, std::string::npos) << text;
    if (split == std::string::npos) return {};
    const std::string body = text.substr(split + 4);
    EXPECT_EQ(text.substr(0, split + 4),
              "HTTP/1.0 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
              "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n");
    std::map<std::string, std::string> samples;
    std::istringstream lines(body);
    const std::string instance = "instance=\"" + m_name + "\"";
    for (std::string line; std::getline(lines, line);) {
      if (line.empty() || line[0] == '#') continue;
      const std::size_t blank = line.rfind(' ');
      std::string key = line.substr(0, blank);
      const std::size_t at = key.find(instance);
      EXPECT_NE(at, std::string::npos) << line;
      if (at == std::string::npos) continue;
      key.erase(at, instance.size() + (key[at + instance.size()] == ',' ? 1 : 0));
      samples[key] = line.substr(blank + 1);
    }
    return samples;
  }
};

const std::string kForbidden =
    "HTTP/1.0 403 Forbidden\r\nContent-Type: text/plain\r\nContent-Length: 11\r\n"
    "Connection: close\r\n\r\nForbidden\r\n";

TEST_F(MetricsServing, CountsAKnownMix) {
  config("AuthenticationMethod", "Vorn");
  config("ServiceDisableFms", "Yes");
  config("SockReceiveTimeout", "1");
  config("MaxPendingPerSource", "2");
  config("StatusPageFrom", "127.0.0.1");
  start();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(exchange(record("ann", "pw")), kAccepted);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(exchange(record("bob", "pw", "-fms_server")), kRefused);
  EXPECT_NE(page().find("Clients Served"), std::string::npos);
  for (const char* request : {"GET /metrics HTTP/1.0\r\n\r\n", "GET / HTTP/1.0\r\n\r\n"}) {
    Client outside(m_port, 0x7F000002);
    outside.send(request);
    EXPECT_EQ(outside.readAll(), kForbidden);
  }
  {
    // Two held from one address, a third over its cap; all three end
    // closed, the two by the receive bound.
    Client first(m_port, 0x7F000003), second(m_port, 0x7F000003);
    first.send("abc");
    second.send("abc");
    platform::sleepMs(200);
    Client third(m_port, 0x7F000003);
    EXPECT_EQ(third.readAll(), "");
    EXPECT_EQ(first.readAll(), "");
    EXPECT_EQ(second.readAll(), "");
  }

  std::map<std::string, std::string> samples = metrics();
  const std::map<std::string, std::string> expected = {
      {"vornd_logins_accepted_total{}", "3"},
      {"vornd_logins_refused_total{reason=\"service_switches\"}", "2"},
      {"vornd_logins_refused_total{reason=\"wrong_credentials\"}", "0"},
      {"vornd_logins_refused_total{reason=\"too_many_failures\"}", "0"},
      {"vornd_pages_served_total{page=\"status\"}", "1"},
      {"vornd_pages_served_total{page=\"metrics\"}", "1"},
      {"vornd_page_requests_refused_total{reason=\"status_page_from\"}", "2"},
      {"vornd_page_requests_refused_total{reason=\"tls_required\"}", "0"},
      {"vornd_connections_closed_total{bound=\"per_source\"}", "1"},
      {"vornd_connections_closed_total{bound=\"record_time\"}", "2"},
      {"vornd_connections_closed_total{bound=\"pending_records\"}", "0"},
      {"vornd_engines_started_total{}", "3"},
      {"vornd_engines_failed_total{}", "0"},
      {"vornd_addresses_blocked_total{}", "0"},
      {"vornd_tls_handshakes_total{result=\"done\"}", "0"},
      {"vornd_connections_pending{stage=\"page\"}", "1"},
      {"vornd_connections_pending{stage=\"record\"}", "0"},
      {"vornd_connections_pending{stage=\"worker\"}", "0"},
      {"vornd_login_reply_seconds_count{}", "5"},
      {"vornd_login_reply_seconds_bucket{le=\"+Inf\"}", "5"},
  };
  for (const auto& [name, value] : expected) EXPECT_EQ(samples[name], value) << name;
  // Counters only grow: the next scrape counts itself.
  EXPECT_EQ(metrics()["vornd_pages_served_total{page=\"metrics\"}"], "2");
}

// A request line that arrives in pieces is told once it can be; the
// status page's own request is never held back for it.
TEST_F(MetricsServing, RequestInPieces) {
  start();
  Client client(m_port);
  client.send("GET /me");
  platform::sleepMs(100);
  client.send("trics HTTP/1.0\r\n\r\n");
  EXPECT_NE(client.readAll().find("vornd_logins_accepted_total{"), std::string::npos);
  EXPECT_NE(exchange("GET /metricsx HTTP/1.0\r\n\r\n").find("Clients Served"), std::string::npos);
}

TEST(PageRequest, ToldFromTheFirstBytes) {
  const struct {
    const char* start;
    std::optional<RequestedPage> page;
  } cases[] = {
      {"GET / HTTP/1.0\r\n", RequestedPage::Status},
      {"GET /mx", RequestedPage::Status},
      {"GET /index.html", RequestedPage::Status},
      {"GET /m", std::nullopt},
      {"GET /metrics", std::nullopt},
      {"GET /metrics HTTP/1.1\r\n", RequestedPage::Metrics},
      {"GET /metrics?name[]=x ", RequestedPage::Metrics},
      {"GET /metrics\r\n", RequestedPage::Metrics},
      {"GET /metricsx", RequestedPage::Status},
      {"GET /Metrics ", RequestedPage::Status},
  };
  for (const auto& c : cases) EXPECT_EQ(requestedPage(c.start), c.page) << c.start;
}

TEST(DaemonMetricsText, LabelsEscapedAndHistogramCumulative) {
  EXPECT_EQ(metricsLabelValue("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
  DaemonMetrics metrics("in\"st");
  for (const int ms : {0, 3, 3, 700, 20000}) metrics.replyTime(std::chrono::milliseconds(ms));
  const std::string text = metrics.exposition({});
  for (const char* line : {
           "vornd_login_reply_seconds_bucket{instance=\"in\\\"st\",le=\"0.001\"} 1\n",
           "vornd_login_reply_seconds_bucket{instance=\"in\\\"st\",le=\"0.005\"} 3\n",
           "vornd_login_reply_seconds_bucket{instance=\"in\\\"st\",le=\"0.5\"} 3\n",
           "vornd_login_reply_seconds_bucket{instance=\"in\\\"st\",le=\"1\"} 4\n",
           "vornd_login_reply_seconds_bucket{instance=\"in\\\"st\",le=\"10\"} 4\n",
           "vornd_login_reply_seconds_bucket{instance=\"in\\\"st\",le=\"+Inf\"} 5\n",
           "vornd_login_reply_seconds_sum{instance=\"in\\\"st\"} 20.706\n",
           "vornd_login_reply_seconds_count{instance=\"in\\\"st\"} 5\n",
       }) {
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
  }
}

}  // namespace
