// The console of an interactive tool.
#pragma once

#include <string>

namespace platform {

// Writes the prompt to standard error and reads one line from the console
// without showing what is typed (a password); the line end is not kept.
// When standard input is not a console, the line is read as it comes.
// False at the end of input or on a read error, with the last error set.
bool readHiddenLine(const char* prompt, std::string& line);

}  // namespace platform

namespace platform {

// Standard input and output carry bytes as they are (no CR LF
// translation on Windows), for a tool that relays a connection.
void useBinaryStandardStreams();

}  // namespace platform
