#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "platform/process.h"
#include "service_host.h"
#include "temp_dir.h"

namespace testing_support {

namespace {

std::map<std::string, ServiceHostMain>& hosts() {
  static std::map<std::string, ServiceHostMain> registered;
  return registered;
}

}  // namespace

bool registerServiceHost(const char* name, ServiceHostMain main) {
  hosts()[name] = main;
  return true;
}

ServiceHostMain findServiceHost(const std::string& name) {
  auto found = hosts().find(name);
  return found == hosts().end() ? nullptr : found->second;
}

std::string serviceHostCommandLine(const std::string& hostName, const std::string& arguments) {
  std::string line = "\"" + platform::moduleFileName() + "\" --service-host " + hostName;
  if (!arguments.empty()) line += " " + arguments;
  return line;
}

}  // namespace testing_support

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--service-host") == 0) {
    testing_support::ServiceHostMain host = testing_support::findServiceHost(argv[2]);
    return host != nullptr ? host(argc, argv) : 99;
  }
  testing::InitGoogleTest(&argc, argv);
  // Whatever a test leaves in the state root (the event log of every
  // reported failure, above all) goes to a throw-away one, never to the
  // machine's own.
  testing_support::ScopedStateRoot root;
  return RUN_ALL_TESTS();
}
