#include "session/page_request.h"

#include <algorithm>

namespace {

constexpr std::string_view kMetricsRequest = "GET /metrics";

bool endsTarget(char c) { return c == ' ' || c == '?' || c == '\r' || c == '\n'; }

}  // namespace

std::optional<RequestedPage> requestedPage(std::string_view start) {
  const std::size_t compared = std::min(start.size(), kMetricsRequest.size());
  if (start.substr(0, compared) != kMetricsRequest.substr(0, compared)) {
    return RequestedPage::Status;
  }
  if (start.size() <= kMetricsRequest.size()) return std::nullopt;
  return endsTarget(start[kMetricsRequest.size()]) ? RequestedPage::Metrics : RequestedPage::Status;
}
