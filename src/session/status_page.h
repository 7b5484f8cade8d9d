// The HTTP/1.0 status page a "GET" on the login port receives, built from
// plain values so that it can be checked and timed without a daemon.
#pragma once

#include <cstdint>
#include <map>
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

// The date this program was built, in the compiler's form.
const char* statusPageBuildDate();
