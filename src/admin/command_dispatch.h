// Choosing what one run of the executable does, from its command line.
#pragma once

#include <string>
#include <vector>

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
  Check,
};

// The arguments after the program's own path, as typed.
std::vector<std::string> argumentsOf(int argc, char** argv);

// True when one argument, compared without letter case, is a help word:
// -h, /h, -?, /?, -help, --help, /help.
bool wantsHelp(const std::vector<std::string>& arguments);

// The branch of the first command word, in the fixed order status, start,
// stop, restart, modify, install, remove, debug, runservice, check, that is one
// whole argument, compared without letter case; Usage when none is. A
// word inside a value or a path is just text.
Branch chooseBranch(const std::vector<std::string>& arguments);

// The exit status of -runService in a systemd unit whose instance is not
// installed (EX_CONFIG); the unit's RestartPreventExitStatus= names it.
inline constexpr int kExitNotInstalled = 78;

// -check NAME: the instance's configuration findings, a line each
// (config_check.h); 1 when there is any, or no name (check_command.cpp).
int checkCommand(int argc, char** argv);

// Runs one branch; returns the process exit status.
int runCommand(int argc, char** argv);
