// vornreg: add, query and delete keys and values of the HKEY_LOCAL_MACHINE
// tree, with the command line and output of the Windows `reg` tool.
#include <iostream>
#include <string>
#include <vector>

#include "vornreg/command_line.h"
#include "vornreg/run_command.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const vornreg::ParseResult parsed = vornreg::parseCommandLine(args);
  if (!parsed.command) {
    std::cerr << parsed.error;
    return 1;
  }
  return vornreg::runCommand(*parsed.command, std::cin, std::cout, std::cerr);
}
