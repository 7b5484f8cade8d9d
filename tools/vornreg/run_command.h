// Carries out a parsed command on the registry: prompts on `in`/`out`,
// results on `out`, errors on `err`. Returns the exit code (0 or 1).
#pragma once

#include <iosfwd>

#include "vornreg/command_line.h"

namespace vornreg {

int runCommand(const Command& command, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace vornreg
