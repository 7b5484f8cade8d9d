// The Microsoft C runtime's command-line rules, on every platform.
#include "platform/command_line.h"

namespace platform {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

// Program name, as the CRT reads it (quotes toggle, nothing escapes):
//
//   command line            program name
//   "C:\a b\x.exe" -y       [C:\a b\x.exe]
//   C:\a\\x.exe             [C:\a\\x.exe]
//   a"b c"d e               [ab cd]
//    x                      []            a leading blank ends an empty name
//   (empty)                 []            there is always a program name
//
// After it, runs of blanks and tabs separate arguments, and "" inside
// quotes is a literal quote that keeps the quotes open (the CRT's rule
// since 2008: "a""b" c gives [a"b] [c]).
std::vector<std::string> splitCommandLine(const std::string& commandLine) {
  std::vector<std::string> arguments;
  const char* p = commandLine.c_str();

  std::string program;
  bool inQuotes = false;
  while (*p != '\0' && (inQuotes || !isBlank(*p))) {
    if (*p == '"') {
      inQuotes = !inQuotes;
    } else {
      program += *p;
    }
    ++p;
  }
  arguments.push_back(program);

  for (;;) {
    while (isBlank(*p)) ++p;
    if (*p == '\0') break;

    std::string argument;
    inQuotes = false;
    for (;;) {
      std::size_t backslashes = 0;
      while (*p == '\\') {
        ++p;
        ++backslashes;
      }
      bool copy = true;
      if (*p == '"') {
        if (backslashes % 2 == 0) {
          if (inQuotes && p[1] == '"') {
            ++p;  // "" inside quotes: the second one is the literal
          } else {
            copy = false;
            inQuotes = !inQuotes;
          }
        }
        backslashes /= 2;
      }
      argument.append(backslashes, '\\');
      if (*p == '\0' || (!inQuotes && isBlank(*p))) break;
      if (copy) argument += *p;
      ++p;
    }
    arguments.push_back(argument);
  }
  return arguments;
}

// The inverse for any argument after the program name:
//
//   argument      quoted
//   abc           abc
//   a\b           a\b           backslashes not before a quote stay single
//   (empty)       ""
//   a b           "a b"
//   a"b           "a\"b"
//   a\"b          "a\\\"b"
//   a b\          "a b\\"       doubled before the closing quote
std::string quoteArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) {
    return argument;
  }
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      quoted.append(backslashes * 2 + 1, '\\');
    } else {
      quoted.append(backslashes, '\\');
    }
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  quoted += '"';
  return quoted;
}

}  // namespace platform
