// -check, and the same findings after -install and -modify.
#include <cstdio>
#include <string>
#include <vector>

#include "admin/command_dispatch.h"
#include "admin/service_admin.h"
#include "daemon/config_check.h"

namespace {

void printLines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace

int checkCommand(int argc, char** argv) {
  if (argc < 3 || argv[2][0] == '-' || argv[2][0] == '/') {
    std::printf("-check takes the name of an instance, as in\n  %s -check serviceName\n",
                argv[0]);
    std::fflush(stdout);
    return 1;
  }
  const std::vector<std::string> findings = checkConfiguration(argv[2]);
  printLines(findings);
  return findings.empty() ? 0 : 1;
}

void CServiceAdmin::printFindings(const std::string& name) {
  std::fflush(stdout);
  printLines(checkConfiguration(name));
}
