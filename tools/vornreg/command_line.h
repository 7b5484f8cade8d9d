// The command line of vornreg, in the syntax of the Windows `reg` tool:
//
//   vornreg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
//   vornreg query KEY [/v NAME | /ve] [/s]
//   vornreg delete KEY [/v NAME | /ve | /va] [/f]
//
// KEY starts with HKLM or HKEY_LOCAL_MACHINE; switches start with "/" or
// "-" and ignore letter case; the word after /v, /t, /s or /d is taken as
// it stands, even when it looks like a switch.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vornreg {

enum class Operation { kHelp, kAdd, kQuery, kDelete };

struct Command {
  Operation operation = Operation::kHelp;
  // kHelp: the operation asked about, or kHelp for the tool as a whole.
  Operation helpTopic = Operation::kHelp;
  // Below HKEY_LOCAL_MACHINE, without a trailing backslash; empty for the
  // root itself.
  std::string subKey;
  // /v NAME, or "" for /ve. add without /v sets the default value once
  // /t or /d is given, and only creates the key otherwise.
  std::optional<std::string> valueName;
  bool allValues = false;  // delete /va
  bool recurse = false;    // query /s
  bool force = false;      // /f
  std::uint32_t type = 1;  // REG_SZ
  std::string data;        // add: the bytes to store
};

struct ParseResult {
  std::optional<Command> command;
  // The whole message for standard error when there is no command, lines
  // ended, e.g. "ERROR: Invalid syntax.\nType \"VORNREG ADD /?\" for usage.\n".
  std::string error;
};

// args: the words after the program name.
ParseResult parseCommandLine(const std::vector<std::string>& args);

// "HKEY_LOCAL_MACHINE" or "HKEY_LOCAL_MACHINE\<subKey>".
std::string fullKeyName(const std::string& subKey);

// The usage text for /?.
std::string usageText(Operation topic);

}  // namespace vornreg
