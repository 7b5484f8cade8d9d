// Choosing what one run of the executable does, from its command line.
#pragma once

#include <string>

enum class Branch {
  Usage,
  Status,
  Start,
  Stop,
  Restart,
  Modify,
  Install,
  Remove,
  Debug,
  RunService,
};

// True when the lower-cased command line asks for help anywhere in it.
bool wantsHelp(const std::string& loweredCommandLine);

// The first command word found anywhere in the lower-cased command line,
// in the fixed order status, start, stop, restart, modify, install,
// remove, debug, runservice; Usage when none is.
Branch chooseBranch(const std::string& loweredCommandLine);

// The exit status of -runService in a systemd unit whose instance is not
// installed (EX_CONFIG); the unit's RestartPreventExitStatus= names it.
inline constexpr int kExitNotInstalled = 78;

// Runs one branch; returns the process exit status.
int runCommand(int argc, char** argv, const std::string& rawCommandLine);
