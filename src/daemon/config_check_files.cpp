// The configuration check's findings about files: the engine, and TLS's
// certificate, key, client CA and relay account.
#include <string>
#include <vector>

#include "daemon/config_check.h"
#include "platform/command_line.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/process_launch.h"
#include "platform/tls_relay.h"

namespace {

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

void checkEngine(const CServiceConfig& config, std::vector<std::string>& findings) {
  const std::vector<std::string> arguments = platform::splitCommandLine(config.VornExecutable);
  if (arguments.empty() || arguments[0].empty()) {
    findings.push_back("VornExecutable is empty: no engine can start");
    return;
  }
  if (platform::findProgram(config.VornExecutable)) return;
  const platform::ErrorCode error = platform::lastError();
  const std::string& program = arguments[0];
  // A name without a folder is looked for; a path is taken as written.
  const bool bare = program.find('/') == std::string::npos &&
                    program.find(platform::pathSeparator()) == std::string::npos;
  std::string what;
  if (error != platform::kErrorFileNotFound) {
    what = " is not executable";
  } else if (bare) {
    what = " is in no folder of the search path";
  } else {
    what = " does not exist";
  }
  findings.push_back("VornExecutable " + quoted(program) + what);
}

void checkTls(const CServiceConfig& config, ConfigCheckScope scope,
              std::vector<std::string>& findings) {
  const std::optional<TlsMode> mode = config.tlsMode();
  if (!mode) {
    findings.push_back("SockTLS " + quoted(config.SockTLS) +
                       " is none of No, Optional and Required: vornd serves nothing");
    return;
  }
  if (*mode == TlsMode::No) return;
  platform::TlsRelaySettings settings;
  settings.certificateFile = config.TLSCertificateFile;
  settings.keyFile = config.TLSKeyFile;
  settings.clientCaFile = config.TLSClientCAFile;
  const platform::TlsFileCheck check = platform::checkTlsFiles(settings);
  if (!check.unavailable.empty()) {
    findings.push_back("SockTLS " + quoted(config.SockTLS) + ": " + check.unavailable);
    return;
  }
  const struct {
    const char* name;
    const std::string* path;
    const std::string* reason;
  } files[] = {
      {"TLSCertificateFile", &config.TLSCertificateFile, &check.certificate},
      {"TLSKeyFile", &config.TLSKeyFile, &check.key},
      {"TLSClientCAFile", &config.TLSClientCAFile, &check.clientCa},
  };
  for (const auto& file : files) {
    if (file.path->empty()) {
      // No client CA: no client certificate asked for.
      if (file.reason != &check.clientCa) {
        findings.push_back(file.name + std::string(" is empty, but SockTLS is ") + config.SockTLS +
                           ": vornd serves nothing");
      }
    } else if (!file.reason->empty()) {
      findings.push_back(file.name + (" " + quoted(*file.path)) + " does not load: " +
                         *file.reason);
    }
  }
  if (scope == ConfigCheckScope::AtStart) return;
  for (const std::string& account : check.account) {
    findings.push_back("SockTLS " + quoted(config.SockTLS) + ": " + account);
  }
}
