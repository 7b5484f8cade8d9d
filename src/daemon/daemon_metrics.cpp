#include "daemon/daemon_metrics.h"

#include <charconv>
#include <vector>

#include "daemon/login_failure_limits.h"

namespace {

// The refusals' label values, in the order of RefusalReason.
constexpr std::string_view kRefusalLabels[] = {
    "wrong_credentials", "service_switches", "method_refuses_all", "too_many_failures",
    "check_too_long",    "engine_not_started", "tls_required"};
static_assert(std::size(kRefusalLabels) == static_cast<std::size_t>(RefusalReason::TlsRequired) + 1);

constexpr std::string_view kPageLabels[] = {"status", "metrics"};
constexpr std::string_view kPageRefusalLabels[] = {"status_page_from", "tls_required"};
constexpr std::string_view kClosureLabels[] = {"per_source",       "pending_records",
                                               "record_time",      "handshake_time",
                                               "proxy_header_time", "page_time"};
constexpr std::string_view kStageLabels[] = {"record", "relay",   "page",   "waiting",
                                             "worker", "refusal", "blocked"};
static_assert(std::size(kClosureLabels) == static_cast<std::size_t>(DaemonMetrics::Closure::Count));
static_assert(std::size(kStageLabels) == static_cast<std::size_t>(DaemonMetrics::Stage::Count));

constexpr std::string_view kReplyBucketLabels[] = {"0.001", "0.0025", "0.005", "0.01",
                                                   "0.025", "0.05",   "0.1",   "0.25",
                                                   "0.5",   "1",      "2.5",   "10"};
static_assert(std::size(kReplyBucketLabels) == DaemonMetrics::kReplyBuckets.size());

// A number as the text format writes it: a count in decimal, or a count
// of microseconds as seconds (no trailing zeros in the fraction).
void appendCount(std::string& out, std::uint64_t value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

void appendSeconds(std::string& out, std::uint64_t microseconds) {
  appendCount(out, microseconds / 1000000);
  std::uint64_t fraction = microseconds % 1000000;
  if (fraction == 0) return;
  char digits[7] = "000000";
  for (int at = 5; at >= 0; --at, fraction /= 10) digits[at] = static_cast<char>('0' + fraction % 10);
  int length = 6;
  while (digits[length - 1] == '0') --length;
  out.append(".").append(digits, static_cast<std::size_t>(length));
}

}  // namespace

// One walk over the families: their HELP and TYPE lines, then their
// samples, each labelled with the instance first. The first walk writes
// the text between the numbers down; every later one only gathers the
// numbers, and the text is put together from the two.
class DaemonMetrics::Exposition {
 public:
  Exposition(const std::string& instance, Layout& layout, bool gathering)
      : m_instance("instance=\"" + metricsLabelValue(instance) + "\""),
        m_layout(layout),
        m_gathering(gathering) {}

  void family(std::string_view name, std::string_view type, std::string_view help) {
    if (m_gathering) return;
    m_between.append("# HELP ").append(name).append(" ").append(help).append("\n");
    m_between.append("# TYPE ").append(name).append(" ").append(type).append("\n");
  }
  // name{instance="..."[,label="value"]} number
  void sample(std::string_view name, std::uint64_t value, std::string_view label = {},
              std::string_view labelValue = {}) {
    add(name, {value, false}, label, labelValue);
  }
  void seconds(std::string_view name, std::uint64_t microseconds) {
    add(name, {microseconds, true}, {}, {});
  }

  std::string text() {
    if (!m_gathering) {
      m_layout.between.push_back(std::move(m_between));
      m_layout.size = 0;
      for (const std::string& text : m_layout.between) m_layout.size += text.size();
    }
    std::string out;
    out.reserve(m_layout.size + 24 * m_values.size());
    for (std::size_t i = 0; i < m_values.size(); ++i) {
      out.append(m_layout.between[i]);
      if (m_values[i].microseconds) {
        appendSeconds(out, m_values[i].number);
      } else {
        appendCount(out, m_values[i].number);
      }
    }
    out.append(m_layout.between.back());
    return out;
  }

 private:
  struct Value {
    std::uint64_t number;
    bool microseconds;
  };

  void add(std::string_view name, Value value, std::string_view label, std::string_view labelValue) {
    m_values.push_back(value);
    if (m_gathering) return;
    m_between.append(name).append("{").append(m_instance);
    if (!label.empty()) m_between.append(",").append(label).append("=\"").append(labelValue).append("\"");
    m_between.append("} ");
    m_layout.between.push_back(std::move(m_between));
    m_between = "\n";
  }

  const std::string m_instance;
  Layout& m_layout;
  const bool m_gathering;
  std::string m_between;
  std::vector<Value> m_values;
};

std::string metricsLabelValue(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

void DaemonMetrics::loginRefused(RefusalReason reason) {
  if (reason == RefusalReason::EngineNotStarted) return;
  add(m_refusals[metricIndex(reason)]);
}

void DaemonMetrics::replyTime(std::chrono::steady_clock::duration elapsed) {
  const auto microseconds = std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count();
  const std::uint64_t taken = microseconds > 0 ? static_cast<std::uint64_t>(microseconds) : 0;
  const double seconds = static_cast<double>(taken) / 1e6;
  std::size_t bucket = 0;
  while (bucket < kReplyBuckets.size() && seconds > kReplyBuckets[bucket]) ++bucket;
  // The sum first: a scrape between the two sees a sum a little ahead of
  // its count, never a count with nothing summed.
  m_replyMicroseconds.fetch_add(taken, std::memory_order_relaxed);
  add(m_replyBuckets[bucket]);
}

std::string DaemonMetrics::exposition(const Pending& pending) const {
  // Only the loop asks, one request at a time.
  const bool gathering = !m_layout.between.empty();
  Exposition out(m_instance, m_layout, gathering);
  out.family("vornd_logins_accepted_total", "counter", "Logins answered as accepted.");
  out.sample("vornd_logins_accepted_total", read(m_loginsAccepted));

  out.family("vornd_logins_refused_total", "counter", "Logins refused, by reason.");
  for (std::size_t i = 0; i < std::size(kRefusalLabels); ++i) {
    if (i == metricIndex(RefusalReason::EngineNotStarted)) continue;
    out.sample("vornd_logins_refused_total", read(m_refusals[i]), "reason", kRefusalLabels[i]);
  }

  out.family("vornd_pages_served_total", "counter", "Status pages and metrics served, by page.");
  for (std::size_t i = 0; i < std::size(kPageLabels); ++i) {
    out.sample("vornd_pages_served_total", read(m_pages[i]), "page", kPageLabels[i]);
  }
  out.family("vornd_page_requests_refused_total", "counter",
             "Page requests answered 403, by reason.");
  for (std::size_t i = 0; i < std::size(kPageRefusalLabels); ++i) {
    out.sample("vornd_page_requests_refused_total", read(m_pageRefusals[i]), "reason",
               kPageRefusalLabels[i]);
  }

  out.family("vornd_connections_closed_total", "counter",
             "Connections the daemon closed, by the bound that closed them.");
  for (std::size_t i = 0; i < std::size(kClosureLabels); ++i) {
    out.sample("vornd_connections_closed_total", read(m_closures[i]), "bound", kClosureLabels[i]);
  }

  out.family("vornd_addresses_blocked_total", "counter",
             "Blocks begun on a source for too many failed logins.");
  out.sample("vornd_addresses_blocked_total",
             static_cast<std::uint64_t>(m_limits ? m_limits->blocksBegun() : 0));

  out.family("vornd_engines_started_total", "counter", "Engine processes started.");
  out.sample("vornd_engines_started_total", read(m_enginesStarted));
  out.family("vornd_engines_failed_total", "counter",
             "Accepted logins whose engine process could not be started.");
  out.sample("vornd_engines_failed_total", read(m_enginesFailed));

  out.family("vornd_tls_handshakes_total", "counter", "TLS handshakes, by result.");
  out.sample("vornd_tls_handshakes_total", read(m_handshakesDone), "result", "done");
  out.sample("vornd_tls_handshakes_total", read(m_handshakesFailed), "result", "failed");

  out.family("vornd_connections_pending", "gauge", "Connections held now, by stage.");
  for (std::size_t i = 0; i < std::size(kStageLabels); ++i) {
    out.sample("vornd_connections_pending", static_cast<std::uint64_t>(pending[i]), "stage",
               kStageLabels[i]);
  }

  out.family("vornd_login_reply_seconds", "histogram",
             "Time from a whole login record to its reply.");
  std::uint64_t below = 0;
  for (std::size_t i = 0; i < kReplyBuckets.size(); ++i) {
    below += read(m_replyBuckets[i]);
    out.sample("vornd_login_reply_seconds_bucket", below, "le", kReplyBucketLabels[i]);
  }
  below += read(m_replyBuckets.back());
  out.sample("vornd_login_reply_seconds_bucket", below, "le", "+Inf");
  out.seconds("vornd_login_reply_seconds_sum", read(m_replyMicroseconds));
  out.sample("vornd_login_reply_seconds_count", below);
  return out.text();
}
