// The current process.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

std::uint32_t currentProcessId();

// Full path of this process's executable (GetModuleFileName).
std::string moduleFileName();

// The single command line the platform keeps for this process: on Windows
// GetCommandLine, on POSIX the arguments joined with single blanks.
std::string rawCommandLine(int argc, char** argv);

// Lower-cases an ANSI text in place, as CharLower / the C locale would.
void lowerCaseInPlace(std::string& text);

}  // namespace platform
