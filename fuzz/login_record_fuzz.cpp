// A received login record, whatever its bytes: the screening, and the
// command line and environment block an accepted one produces. The engine
// must receive each client piece as exactly one argument, its value cut at
// the first NUL (where the command line ends), never more arguments.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "daemon/vornd.h"
#include "platform/command_line.h"
#include "platform/service_manager.h"
#include "session/login_screening.h"

namespace {

// The daemon's settings, reachable from here.
class FuzzDaemon : public CVornD {
 public:
  FuzzDaemon() : CVornD("fuzz", "fuzz", platform::kServiceWin32OwnProcess) {}
  CServiceConfig& settings() { return m_config; }
};

FuzzDaemon& daemon() {
  static FuzzDaemon* instance = new FuzzDaemon;
  return *instance;
}

struct Field {
  const char* name;
  std::size_t offset, width;
};
constexpr Field kFields[] = {{"ap", netLogin::kAp, netLogin::kApSize},
                             {"db", netLogin::kDb, netLogin::kDbSize},
                             {"type", netLogin::kType, netLogin::kTypeSize},
                             {"process", netLogin::kProcess, netLogin::kProcessSize}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < netLogin::kSize + 1) return 0;
  netLogin login;
  std::memcpy(login.bytes, data, netLogin::kSize);
  const std::uint8_t switches = data[netLogin::kSize];

  CServiceConfig config;
  config.ServiceDisableFms = switches & 1;
  config.ServiceDisableODBC = switches & 2;
  config.ServiceDisableLogins = switches & 4;
  config.ServiceDisableCmds = switches & 8;
  const bool fms = login.startupBeginsWith("-fms_server");
  const bool odbc = login.startupBeginsWith("-odbc_server");
  const bool refused = screeningRefusal(login, config) != nullptr;
  const bool expectRefused = fms ? config.ServiceDisableFms
                                 : odbc ? config.ServiceDisableODBC : config.ServiceDisableLogins;
  if (refused != expectRefused) std::abort();

  FuzzDaemon& d = daemon();
  d.settings().ServiceDisableCmds = config.ServiceDisableCmds;
  const std::string line = d.engineCommandLine(login, 7);
  const std::vector<std::string> args = platform::splitCommandLine(line.c_str());

  std::vector<std::string> expected = {"", "-f=7"};
  if (fms) expected.push_back("-fms_server");
  if (odbc) expected.push_back("-odbc_server");
  if (!config.ServiceDisableCmds && !fms && !odbc) {
    for (const Field& field : kFields) {
      std::size_t length = field.width;
      const char* bytes = login.bytes + field.offset;
      while (length > 0 && (bytes[length - 1] == ' ' || bytes[length - 1] == '\0')) --length;
      if (length == 0) continue;
      const std::string value(bytes, length);
      const std::string::size_type nul = value.find('\0');
      expected.push_back(std::string("-") + field.name + "=" + value.substr(0, nul));
      if (nul != std::string::npos) break;  // the engine's command line ends there
    }
  }
  // The program name is empty: no VornExecutable is set.
  if (args != expected) std::abort();

  const std::string user = login.user(), password = login.password();
  const std::string block = d.buildEnvironment(&user, &password);
  std::size_t entries = 0, at = 0;
  while (at < block.size() && block[at] != '\0') {
    at = block.find('\0', at);
    if (at == std::string::npos) std::abort();
    ++at;
    ++entries;
  }
  // The list's entries, and the two credentials where the list has no
  // entry of that name (the list itself is left as it was).
  const auto& list = d.config().Environment;
  const std::size_t credentials = (list.count("$SYSUID") == 0) + (list.count("$SYSUIDP") == 0);
  if (entries != list.size() + credentials || at + 1 != block.size()) std::abort();
  return 0;
}
