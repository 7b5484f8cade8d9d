// The HTTP/1.0 status page a "GET" on the login port receives, built from
// plain values so that it can be checked and timed without a daemon.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

struct StatusPageValues {
  std::string_view serviceName;
  std::uint32_t processId = 0;
  // "Mmm dd yyyy", the day padded with a blank.
  std::string_view buildDate;
  std::string_view engine;
  std::int32_t port = 0;
  std::string_view method;
  bool includeSystemEnv = false;
  std::int32_t served = 0;
  std::int32_t rejected = 0;
  // Listed in its own order; never null.
  const std::map<std::string, std::string>* environment = nullptr;
};

// The whole response: status line, header lines, empty line, body. Every
// line ends in CR LF; values go in as they are, without HTML escaping.
std::string statusPageResponse(const StatusPageValues& values);

// One response as a request receives it: a head of its own (status line,
// header lines and the body through the counters) and the rest of the
// body, shared with every other response of the same page, so that a page
// waiting on a slow reader holds its head and not the whole environment.
// Copies share the rest too, and keep it alive.
class PageResponse {
 public:
  // An empty response.
  PageResponse() = default;
  // A response made whole beforehand.
  static PageResponse whole(std::string response) { return PageResponse(std::move(response), nullptr); }

  std::size_t size() const { return m_head.size() + (m_tail ? m_tail->size() : 0); }
  // The bytes from offset to the end of the contiguous part that holds
  // it: never empty before the end of the response, empty from there on.
  std::string_view pieceAt(std::size_t offset) const;

 private:
  friend class StatusPage;
  PageResponse(std::string head, std::shared_ptr<const std::string> tail);

  std::string m_head;
  std::shared_ptr<const std::string> m_tail;
};

// The page of one running instance. Only the counters move once it has
// started, so the rest is built here once and each response adds them.
class StatusPage {
 public:
  // Keeps copies: nothing values points to need outlive the page. Its
  // served and rejected are not read.
  explicit StatusPage(const StatusPageValues& values);

  // The same bytes as statusPageResponse with these counters.
  PageResponse response(std::int32_t served, std::int32_t rejected) const;

 private:
  // The body down to the first counter.
  std::string m_bodyStart;
  // The environment rows and the end of the body.
  std::shared_ptr<const std::string> m_tail;
};

// The date this program was built, in the compiler's form.
const char* statusPageBuildDate();

// What a clear request gets from an instance that serves only over TLS: a
// short answer that says where the page is, and the end.
PageResponse httpsOnlyResponse();
// What a request from outside StatusPageFrom gets: a refusal that tells
// nothing about the instance.
PageResponse forbiddenResponse();
// The metrics' response: `body` in the text exposition format.
PageResponse metricsResponse(std::string body);
