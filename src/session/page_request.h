// Which page a request on the login port asks for, told from its first
// bytes: "GET /metrics" (then a blank, '?', or the line's end) is the
// metrics; every other "GET" is the status page, as it always was.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

enum class RequestedPage { Status, Metrics };

// The bytes a request needs before anything is decided.
constexpr std::size_t kRequestStart = 6;

// `start` holds the connection's first bytes (at least kRequestStart of
// them) and begins with "GET". Nothing while it could still be the
// metrics' request line and more bytes are needed to tell.
std::optional<RequestedPage> requestedPage(std::string_view start);
