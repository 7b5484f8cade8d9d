#include "session/status_page.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <utility>

#include "platform/net.h"

#include "daemon/vornd.h"
#include "platform/process.h"
#include "session/socket.h"

namespace {

constexpr std::string_view kStyle =
    "<STYLE TYPE=\"text/css\"> \r\n"
    "  body { background-color: #146c86 }\r\n"
    "  H1 { font-size: 20 pt; font-style: color : #FFFFFF }\r\n"
    "  .t1 { border:146c86; }\r\n"
    "  .th { color: #000000; background-color: #828483; }\r\n"
    "  .tb { color: #EAEDEE; background-color: #828483; }\r\n"
    "</STYLE>\r\n";
constexpr std::string_view kTableStart =
    "<table class= \"t1\" border=\"1\" width=\"100%\" cellspacing=\"0\" cellpadding=\"0\">\r\n"
    "<tr><td class=\"th\">Version</td><td class=\"th\">4.2.8</td></tr>\r\n";
constexpr std::string_view kSettingStart = "<tr><td class=\"th\">";
constexpr std::string_view kSettingMiddle = "</td><td class=\"th\">";
constexpr std::string_view kVariableStart = "<tr><td class=\"tb\">";
constexpr std::string_view kVariableMiddle = "</td><td class=\"tb\">";
constexpr std::string_view kRowEnd = "</td></tr>\r\n";
constexpr std::string_view kVariablesHeading =
    "<tr><td>Environment Variables:</td><td>&nbsp;</td></tr>\r\n";
constexpr std::string_view kBodyEnd = "</table>\r\n</body></html>\r\n";
constexpr std::string_view kServedLabel = "Clients Served";
constexpr std::string_view kRejectedLabel = "Clients Rejected";
constexpr std::string_view kHeader =
    "HTTP/1.0 200 OK\r\n"
    "Server: vavazoza\r\n"
    "Content-Type: text/html\r\n"
    "Content-Length: ";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";
// Everything above plus the labels and the fixed parts of the title and
// heading; a little slack costs nothing, a second allocation does.
constexpr std::size_t kFixedBodyBytes = 1400;

// Long enough for any 64-bit number.
struct Decimal {
  explicit Decimal(std::int64_t number) {
    length = static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, number).ptr -
                                      digits);
  }
  std::string_view view() const { return {digits, length}; }
  char digits[24];
  std::size_t length;
};

void appendSetting(std::string& out, std::string_view label, std::string_view value) {
  out.append(kSettingStart).append(label).append(kSettingMiddle).append(value).append(kRowEnd);
}

bool hiddenVariable(const std::string& name) {
  return !name.empty() && (name[0] == '*' || name[0] == '$');
}

// Down to the first counter, which is where a response starts to differ.
void appendBodyStart(std::string& out, const StatusPageValues& values) {
  out.append("<html><head><title>")
      .append(values.serviceName)
      .append(" Status</title></head><body>\r\n");
  out.append(kStyle);
  out.append("<H1>").append(values.serviceName).append("</H1>\r\n");
  out.append(kTableStart);
  appendSetting(out, "Compiled On", values.buildDate);
  appendSetting(out, "Service Name", values.serviceName);
  appendSetting(out, "Process ID", Decimal(values.processId).view());
  appendSetting(out, "Engine Name", values.engine);
  appendSetting(out, "Listening On Port", Decimal(values.port).view());
  appendSetting(out, "Authentication Method", values.method);
  appendSetting(out, "Load System Environment Variables?",
                values.includeSystemEnv ? "Yes" : "No");
  out.append(kSettingStart).append(kServedLabel).append(kSettingMiddle);
}

void appendCounters(std::string& out, const Decimal& served, const Decimal& rejected) {
  out.append(served.view()).append(kRowEnd);
  out.append(kSettingStart).append(kRejectedLabel).append(kSettingMiddle);
  out.append(rejected.view()).append(kRowEnd);
}

// Kept beside appendCounters, so that a response's length is known before
// its head is written.
std::size_t countersSize(const Decimal& served, const Decimal& rejected) {
  return served.length + kRowEnd.size() + kSettingStart.size() + kRejectedLabel.size() +
         kSettingMiddle.size() + rejected.length + kRowEnd.size();
}

void appendTail(std::string& out, const std::map<std::string, std::string>& environment) {
  out.append(kVariablesHeading);
  for (const auto& [name, value] : environment) {
    if (hiddenVariable(name)) continue;
    out.append(kVariableStart)
        .append(name)
        .append(kVariableMiddle)
        .append(value.empty() ? std::string_view("&nbsp;") : std::string_view(value))
        .append(kRowEnd);
  }
  out.append(kBodyEnd);
}

void appendBody(std::string& out, const StatusPageValues& values) {
  appendBodyStart(out, values);
  appendCounters(out, Decimal(values.served), Decimal(values.rejected));
  appendTail(out, *values.environment);
}

std::size_t bodyStartCapacity(const StatusPageValues& values) {
  return kFixedBodyBytes + 3 * values.serviceName.size() + values.buildDate.size() +
         values.engine.size() + values.method.size();
}

std::size_t tailCapacity(const std::map<std::string, std::string>& environment) {
  std::size_t bytes = kVariablesHeading.size() + kBodyEnd.size();
  for (const auto& [name, value] : environment) {
    bytes += kVariableStart.size() + kVariableMiddle.size() + kRowEnd.size() + name.size() +
             value.size() + 6;
  }
  return bytes;
}

std::size_t bodyCapacity(const StatusPageValues& values) {
  return bodyStartCapacity(values) + tailCapacity(*values.environment);
}

}  // namespace

std::string statusPageResponse(const StatusPageValues& values) {
  // Kept between calls, so that a page costs one allocation, not two.
  thread_local std::string body;
  body.clear();
  body.reserve(bodyCapacity(values));
  appendBody(body, values);

  const Decimal length(static_cast<std::int64_t>(body.size()));
  std::string response;
  response.reserve(kHeader.size() + length.length + kHeaderEnd.size() + body.size());
  response.append(kHeader).append(length.view()).append(kHeaderEnd).append(body);
  return response;
}

PageResponse::PageResponse(std::string head, std::shared_ptr<const std::string> tail)
    : m_head(std::move(head)), m_tail(std::move(tail)) {}

std::string_view PageResponse::pieceAt(std::size_t offset) const {
  if (offset < m_head.size()) return std::string_view(m_head).substr(offset);
  offset -= m_head.size();
  if (!m_tail || offset >= m_tail->size()) return {};
  return std::string_view(*m_tail).substr(offset);
}

StatusPage::StatusPage(const StatusPageValues& values) {
  m_bodyStart.reserve(bodyStartCapacity(values));
  appendBodyStart(m_bodyStart, values);
  std::string tail;
  tail.reserve(tailCapacity(*values.environment));
  appendTail(tail, *values.environment);
  m_tail = std::make_shared<const std::string>(std::move(tail));
}

PageResponse StatusPage::response(std::int32_t served, std::int32_t rejected) const {
  const Decimal servedText(served);
  const Decimal rejectedText(rejected);
  const std::size_t bodyHead = m_bodyStart.size() + countersSize(servedText, rejectedText);
  const Decimal length(static_cast<std::int64_t>(bodyHead + m_tail->size()));
  std::string head;
  head.reserve(kHeader.size() + length.length + kHeaderEnd.size() + bodyHead);
  head.append(kHeader).append(length.view()).append(kHeaderEnd).append(m_bodyStart);
  appendCounters(head, servedText, rejectedText);
  return PageResponse(std::move(head), m_tail);
}

PageResponse httpsOnlyResponse() {
  static const std::string kBody =
      "This instance serves its status page over TLS only: ask for it with https.\r\n";
  return PageResponse::whole("HTTP/1.0 403 Forbidden\r\nContent-Type: text/plain\r\nContent-Length: " +
                             std::to_string(kBody.size()) + "\r\nConnection: close\r\n\r\n" + kBody);
}

PageResponse forbiddenResponse() {
  static const std::string kBody = "Forbidden\r\n";
  return PageResponse::whole("HTTP/1.0 403 Forbidden\r\nContent-Type: text/plain\r\nContent-Length: " +
                             std::to_string(kBody.size()) + "\r\nConnection: close\r\n\r\n" + kBody);
}

PageResponse metricsResponse(std::string body) {
  std::string head =
      "HTTP/1.0 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  return PageResponse::whole(head.append(body));
}

const char* statusPageBuildDate() { return __DATE__; }

StatusPageValues CVornD::statusPageValues() const {
  StatusPageValues values;
  values.serviceName = m_strServiceName;
  values.processId = m_dwProcessId;
  values.buildDate = statusPageBuildDate();
  values.engine = m_config.VornExecutable;
  values.port = m_config.SockPort;
  values.method = m_config.AuthenticationMethod;
  values.includeSystemEnv = m_config.IncludeSystemEnv;
  values.served = m_nClientsServed;
  values.rejected = m_nClientsRejected;
  values.environment = &m_config.Environment;
  return values;
}

PageResponse CVornD::statusPage() {
  if (!m_statusPage) m_statusPage = std::make_unique<StatusPage>(statusPageValues());
  return m_statusPage->response(m_nClientsServed, m_nClientsRejected);
}
