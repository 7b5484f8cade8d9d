// -modify: sets and deletes the variables an instance gives its engines.
#include <cstdio>
#include <string>

#include "admin/service_admin.h"
#include "platform/registry.h"

bool CServiceAdmin::modifyEnvironment(int argc, char** argv) {
  if (argc < 3) {
    refuse("you must provide a service name if you want to modify environment variables\n");
    std::printf("A typical command line might look like this:\n");
    std::printf("  C:\\> %s -modify serivceName FOO=BAR I_LIKE=ICE_CREAM\n", argv[0]);
    return false;
  }
  m_serviceName = argv[2];
  platform::RegKeyHandle key = nullptr;
  const platform::ErrorCode error = platform::regCreateKey(
      platform::localMachine(),
      "SYSTEM\\CurrentControlSet\\Services\\" + m_serviceName + "\\Environment", key);
  if (error != platform::kErrorSuccess) {
    report("RegCreateKey", error);
    return false;
  }
  for (int i = 3; i < argc; ++i) {
    const std::string word = argv[i];
    if (!word.empty() && (word[0] == '-' || word[0] == '/')) {
      std::printf("\n");
      refuse("Sorry, you can only modify environment variables with this sad\n"
             "excuse for a program, changing configuration information just\n"
             "ain't my bag baby, ignoring " + word + "\n");
      continue;
    }
    const std::string::size_type equals = word.find('=');
    if (equals == std::string::npos) {
      refuse("Sorry, I don't know what to do with '" + word + "'\n");
      continue;
    }
    const std::string name = word.substr(0, equals);
    const std::string value = word.substr(equals + 1);
    if (!value.empty()) {
      setText(key, name, value);
      continue;
    }
    // Deleting a variable that is not there is no failure.
    const platform::ErrorCode deleted = platform::regDeleteValue(key, name);
    if (deleted != platform::kErrorSuccess && deleted != platform::kErrorFileNotFound) {
      report("RegDeleteValue", deleted);
    }
  }
  platform::regCloseKey(key);
  return true;
}
