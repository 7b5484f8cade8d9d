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

// Runs one branch; returns the process exit status.
int runCommand(int argc, char** argv, const std::string& rawCommandLine);
