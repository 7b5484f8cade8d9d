// Running the system's fail2ban-regex over a log file with a filter, for
// tests of the fail2ban filter the package installs.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "posix/run_program.h"

namespace testing_support {

// The repository's filter, the file the package installs as
// /etc/fail2ban/filter.d/vornd.conf.
inline std::string vorndFail2banFilterPath() {
  return std::string(VORND_SOURCE_DIR) + "/packaging/fail2ban/filter.d/vornd.conf";
}

// fail2ban-regex as found on PATH (or in /usr/bin, where Debian puts it,
// when PATH is unset); empty when it is not installed.
inline std::string fail2banRegexProgram() {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (folder.empty()) continue;
    const std::string candidate = folder + "/fail2ban-regex";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// The address fail2ban takes from each line of `logFile` that the filter
// matches, in the order of the lines (one entry a match). `filterFile` is a
// filter file's path, optionally followed by filter options as a jail
// gives them ("/path/vornd.conf[_daemon=demo]"). Nullopt when
// fail2ban-regex is not installed, fails, or prints anything but addresses;
// what it printed then goes to standard error.
//
// -o ip prints the address of every match and nothing else; -r keeps
// whatever <HOST> took from being looked up in DNS.
inline std::optional<std::vector<std::string>> fail2banMatchedAddresses(
    const std::string& logFile, const std::string& filterFile) {
  const std::string program = fail2banRegexProgram();
  if (program.empty()) return std::nullopt;
  const Outcome run = runProgram(program, {"-r", "-o", "ip", logFile, filterFile}, "", "", 60000);
  if (run.exitCode != 0) {
    std::cerr << program << " exited with " << run.exitCode << ":\n" << run.out << run.err;
    return std::nullopt;
  }
  std::vector<std::string> addresses;
  std::istringstream lines(run.out);
  std::string line;
  while (std::getline(lines, line)) {
    const bool isAddress =
        !line.empty() && line.find_first_not_of("0123456789abcdefABCDEF.:") == std::string::npos;
    if (!isAddress) {
      std::cerr << program << " printed more than addresses:\n" << run.out << run.err;
      return std::nullopt;
    }
    addresses.push_back(line);
  }
  return addresses;
}

}  // namespace testing_support
