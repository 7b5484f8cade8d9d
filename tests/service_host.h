// The test binary doubles as a service process: started by a service
// manager with the command line
//
//   <test binary> --service-host <host name> [arguments...]
//
// it runs the host registered under that name instead of the tests. Test
// files register hosts with VORND_SERVICE_HOST.
#pragma once

#include <string>

namespace testing_support {

using ServiceHostMain = int (*)(int argc, char** argv);

bool registerServiceHost(const char* name, ServiceHostMain main);
ServiceHostMain findServiceHost(const std::string& name);

// The command line a service manager should run for a host, with the
// arguments quoted for Windows rules (they hold no quotes themselves).
std::string serviceHostCommandLine(const std::string& hostName, const std::string& arguments);

}  // namespace testing_support

#define VORND_SERVICE_HOST_CONCAT2(a, b) a##b
#define VORND_SERVICE_HOST_CONCAT(a, b) VORND_SERVICE_HOST_CONCAT2(a, b)
#define VORND_SERVICE_HOST(name, function)                                       \
  static const bool VORND_SERVICE_HOST_CONCAT(serviceHostRegistered_, __LINE__) = \
      ::testing_support::registerServiceHost(name, function)
