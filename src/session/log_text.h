// Texts from the network or the system, made fit for one log line.
#pragma once

#include <cstdint>
#include <string>

// Control characters and DEL become '?': a line break in a client's text would
// let it write a log line of its own.
std::string printableText(std::string text);

// The system's message texts end in a line break; a log entry brings its
// own.
std::string withoutFinalLineBreak(std::string text);

// An IPv4 address in host byte order as dotted text: 0x7F000002 is
// "127.0.0.2".
std::string dottedAddress(std::uint32_t address);
