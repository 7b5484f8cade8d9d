// Debugger output: OutputDebugString on Windows, standard error on POSIX
// (one message per line).
#pragma once

#include <string>

namespace platform {

void debugOutput(const std::string& text);

// True when a debugger is attached to this process.
bool debuggerPresent();

// Break into the attached debugger. Callers check debuggerPresent() first:
// without a debugger the process would be ended.
void debugBreak();

}  // namespace platform
