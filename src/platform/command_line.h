// Splitting a Windows command line into arguments, by the rules of the
// Microsoft C runtime (the rules CommandLineToArgvW and the CRT's own
// start-up code follow), so that a command line built for Windows means
// the same thing on POSIX:
//
//   command line                 arguments
//   a b  c                       [a] [b] [c]
//   "a b" c                      [a b] [c]
//   a\\b                         [a\\b]        backslashes not before a quote are literal
//   a\"b                         [a"b]         \" is a quote
//   a\\\"b                       [a\"b]        2n+1 backslashes and a quote: n, then a quote
//   "a\\" b                      [a\] [b]      2n backslashes and a quote: n, then the quote acts
//   "a""b"                       [a"b]         "" inside quotes is a literal quote
//   "C:\Program Files\x.exe" -y  [C:\Program Files\x.exe] [-y]
//
// The program name (first argument) follows the simpler rule of the CRT:
// it runs to the next blank outside quotes, quotes are removed and
// backslashes are never special.
#pragma once

#include <string>
#include <vector>

namespace platform {

std::vector<std::string> splitCommandLine(const std::string& commandLine);

// Quotes one argument so that splitCommandLine gives it back unchanged
// (for any text without a zero byte).
std::string quoteArgument(const std::string& argument);

}  // namespace platform
