// The words of -install and -modify, whatever they hold: the install
// parser keeps only whole "name=value" assignments and the two method
// names, and each -modify word is read as exactly one request.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "admin/service_admin.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Words separated by NUL bytes, as an argument vector cannot hold one.
  std::vector<std::string> words = {"vornd", "-install"};
  std::string word;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      words.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(data[i]);
    }
  }
  words.push_back(word);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  CServiceAdmin admin("", "");
  const bool refused = admin.parseInstallArguments(static_cast<int>(words.size()), argv.data());
  const std::set<std::string> given(words.begin() + 2, words.end());
  for (const auto& [name, value] : admin.environment()) {
    if (name.find('=') != std::string::npos || !given.count(name + "=" + value)) std::abort();
  }
  const std::string& method = admin.authMethod();
  if (!refused && !method.empty() && method != "Vorn" && method != "LogonUser") std::abort();

  for (std::size_t i = 2; i < words.size(); ++i) {
    const std::string& w = words[i];
    const ModifyRequest request = parseModifyWord(w);
    switch (request.kind) {
      case ModifyRequest::Option:
        if (w.empty() || (w[0] != '-' && w[0] != '/')) std::abort();
        break;
      case ModifyRequest::Unknown:
        if (w.find('=') != std::string::npos) std::abort();
        break;
      case ModifyRequest::Set:
        if (request.name.find('=') != std::string::npos || request.value.empty() ||
            request.name + "=" + request.value != w) {
          std::abort();
        }
        break;
      case ModifyRequest::Delete:
        if (request.name + "=" != w) std::abort();
        break;
    }
  }
  return 0;
}
