// The status page with any environment list and names: the length it
// announces is the length of the body it sends, and its head is intact.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "session/status_page.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Pairs of name and value, each ended by a NUL byte; the first text is
  // the service name.
  std::map<std::string, std::string> environment;
  std::string texts[2];
  std::string serviceName;
  int which = 0;
  bool first = true;
  for (std::size_t i = 0; i <= size; ++i) {
    if (i < size && data[i] != 0) {
      texts[which] += static_cast<char>(data[i]);
      continue;
    }
    if (first) {
      serviceName = texts[0];
      texts[0].clear();
      first = false;
    } else if (which == 0) {
      which = 1;
    } else {
      environment[texts[0]] = texts[1];
      texts[0].clear();
      texts[1].clear();
      which = 0;
    }
  }
  StatusPageValues values;
  values.serviceName = serviceName;
  values.processId = 1234;
  values.buildDate = statusPageBuildDate();
  values.engine = serviceName;
  values.port = static_cast<std::int32_t>(size);
  values.method = "Vorn";
  values.served = static_cast<std::int32_t>(environment.size());
  values.environment = &environment;
  const std::string response = statusPageResponse(values);

  const std::string head = "HTTP/1.0 200 OK\r\n";
  if (response.compare(0, head.size(), head) != 0) std::abort();
  const std::string::size_type split = response.find("\r\n\r\n");
  const std::string::size_type length = response.find("Content-Length: ");
  if (split == std::string::npos || length == std::string::npos || length > split) std::abort();
  const std::string body = response.substr(split + 4);
  if (std::strtoul(response.c_str() + length + 16, nullptr, 10) != body.size()) std::abort();
  return 0;
}
