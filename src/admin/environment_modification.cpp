// -modify: sets and deletes the variables an instance gives its engines.
#include <cstdio>
#include <string>

#include "admin/service_admin.h"
#include "platform/registry.h"

ModifyRequest parseModifyWord(const std::string& word) {
  if (!word.empty() && (word[0] == '-' || word[0] == '/')) return {ModifyRequest::Option, "", ""};
  const std::string::size_type equals = word.find('=');
  if (equals == std::string::npos) return {ModifyRequest::Unknown, "", ""};
  std::string name = word.substr(0, equals);
  std::string value = word.substr(equals + 1);
  if (value.empty()) return {ModifyRequest::Delete, std::move(name), ""};
  return {ModifyRequest::Set, std::move(name), std::move(value)};
}

bool CServiceAdmin::modifyEnvironment(int argc, char** argv) {
  if (argc < 3) {
    refuse("you must provide a service name if you want to modify environment variables\n");
    std::printf("A typical command line might look like this:\n");
    std::printf("  C:\\> %s -modify serivceName FOO=BAR I_LIKE=ICE_CREAM\n", argv[0]);
    return false;
  }
  // -modify -name=demo would otherwise take "-name=demo" for the name and
  // write a key of that name before anything refused it.
  if (argv[2][0] == '-' || argv[2][0] == '/') {
    refuse(std::string("Sorry, '") + argv[2] +
           "' is no service name: -modify takes the bare name, as in\n");
    std::printf("  %s -modify serviceName FOO=BAR\n", argv[0]);
    return false;
  }
  m_serviceName = argv[2];
  platform::RegKeyHandle key = createServiceKey("Environment");
  if (key == nullptr) return false;
  for (int i = 3; i < argc; ++i) {
    const std::string word = argv[i];
    const ModifyRequest request = parseModifyWord(word);
    switch (request.kind) {
      case ModifyRequest::Option:
        std::printf("\n");
        refuse("Sorry, you can only modify environment variables with this sad\n"
               "excuse for a program, changing configuration information just\n"
               "ain't my bag baby, ignoring " + word + "\n");
        break;
      case ModifyRequest::Unknown:
        refuse("Sorry, I don't know what to do with '" + word + "'\n");
        break;
      case ModifyRequest::Set:
        setText(key, request.name, request.value);
        break;
      case ModifyRequest::Delete: {
        // Deleting a variable that is not there is no failure.
        const platform::ErrorCode deleted = platform::regDeleteValue(key, request.name);
        if (deleted != platform::kErrorSuccess && deleted != platform::kErrorFileNotFound) {
          report("RegDeleteValue", deleted);
        }
        break;
      }
    }
  }
  platform::regCloseKey(key);
  return true;
}
