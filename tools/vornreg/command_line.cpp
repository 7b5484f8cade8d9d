#include "vornreg/command_line.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "platform/registry.h"
#include "vornreg/value_data.h"

namespace vornreg {

namespace {

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

const char* operationWord(Operation operation) {
  switch (operation) {
    case Operation::kAdd:
      return "ADD";
    case Operation::kQuery:
      return "QUERY";
    case Operation::kDelete:
      return "DELETE";
    case Operation::kHelp:
      break;
  }
  return "";
}

std::string usageHint(Operation operation) {
  const std::string word = operation == Operation::kHelp
                               ? std::string("VORNREG")
                               : std::string("VORNREG ") + operationWord(operation);
  return "Type \"" + word + " /?\" for usage.\n";
}

ParseResult failure(std::string error) { return ParseResult{std::nullopt, std::move(error)}; }

// reg's own first line, then what exactly was wrong.
ParseResult syntaxError(Operation operation, const std::string& detail) {
  return failure("ERROR: Invalid syntax. " + detail + "\n" + usageHint(operation));
}

bool isSwitch(const std::string& word) {
  return word.size() >= 2 && (word[0] == '/' || word[0] == '-');
}

// Roots of the Windows registry that have no tree here.
constexpr const char* kOtherRoots[][2] = {
    {"HKCU", "HKEY_CURRENT_USER"},
    {"HKCR", "HKEY_CLASSES_ROOT"},
    {"HKU", "HKEY_USERS"},
    {"HKCC", "HKEY_CURRENT_CONFIG"},
};

// KEY -> the path below HKEY_LOCAL_MACHINE, or an error message.
bool parseKeyName(Operation operation, const std::string& key, std::string& subKey,
                  std::string& error) {
  if (key.rfind("\\\\", 0) == 0) {
    error = "ERROR: Remote registries are not supported; name a key under HKLM.\n";
    return false;
  }
  const std::size_t slash = key.find('\\');
  const std::string root = upper(key.substr(0, slash));
  if (root != "HKLM" && root != "HKEY_LOCAL_MACHINE") {
    for (const auto& names : kOtherRoots) {
      if (root == names[0] || root == names[1]) {
        error = std::string("ERROR: ") + names[1] +
                " does not exist on this system; only HKEY_LOCAL_MACHINE (HKLM) does.\n";
        return false;
      }
    }
    error = "ERROR: Invalid key name.\n" + usageHint(operation);
    return false;
  }
  subKey = slash == std::string::npos ? std::string() : key.substr(slash + 1);
  if (!subKey.empty() && subKey.back() == '\\') subKey.pop_back();
  return true;
}

struct SwitchRule {
  const char* name;
  bool takesArgument;
};

const std::vector<SwitchRule>& switchRules(Operation operation) {
  static const std::vector<SwitchRule> add = {{"v", true},       {"ve", false},    {"t", true},
                                              {"s", true},       {"d", true},      {"f", false},
                                              {"reg:32", false}, {"reg:64", false}};
  static const std::vector<SwitchRule> query = {
      {"v", true}, {"ve", false}, {"s", false}, {"reg:32", false}, {"reg:64", false}};
  static const std::vector<SwitchRule> remove = {{"v", true},       {"ve", false},
                                                 {"va", false},     {"f", false},
                                                 {"reg:32", false}, {"reg:64", false}};
  return operation == Operation::kAdd ? add : operation == Operation::kQuery ? query : remove;
}

// The rule for "/name" or "-name", any letter case; null when unknown.
const SwitchRule* findRule(Operation operation, const std::string& word) {
  const std::string name = lower(word.substr(1));
  for (const SwitchRule& rule : switchRules(operation)) {
    if (name == rule.name) return &rule;
  }
  return nullptr;
}

}  // namespace

std::string fullKeyName(const std::string& subKey) {
  return subKey.empty() ? std::string("HKEY_LOCAL_MACHINE") : "HKEY_LOCAL_MACHINE\\" + subKey;
}

ParseResult parseCommandLine(const std::vector<std::string>& args) {
  Command command;
  if (args.empty()) {
    return syntaxError(Operation::kHelp, "Name an operation: ADD, QUERY or DELETE.");
  }
  const std::string word = upper(args[0]);
  if (word == "/?" || word == "-?") return ParseResult{command, ""};
  if (word == "ADD") {
    command.operation = Operation::kAdd;
  } else if (word == "QUERY") {
    command.operation = Operation::kQuery;
  } else if (word == "DELETE") {
    command.operation = Operation::kDelete;
  } else {
    return syntaxError(Operation::kHelp, "Unknown operation '" + args[0] + "'.");
  }
  const Operation operation = command.operation;

  // /? anywhere asks for help, whatever else is written; only the word
  // after /v, /t, /s or /d is data, even when it reads "/?".
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "/?" || args[i] == "-?") {
      Command help;
      help.helpTopic = operation;
      return ParseResult{help, ""};
    }
    if (i == 1 || !isSwitch(args[i])) continue;
    const SwitchRule* rule = findRule(operation, args[i]);
    if (rule != nullptr && rule->takesArgument) ++i;
  }
  if (args.size() < 2 || isSwitch(args[1])) return syntaxError(operation, "Name a key first.");
  std::string keyError;
  if (!parseKeyName(operation, args[1], command.subKey, keyError)) return failure(keyError);

  std::set<std::string> seen;
  std::optional<std::string> typeText, separator, dataText;
  for (std::size_t i = 2; i < args.size(); ++i) {
    if (!isSwitch(args[i])) return syntaxError(operation, "Unexpected argument '" + args[i] + "'.");
    const SwitchRule* rule = findRule(operation, args[i]);
    if (rule == nullptr) return syntaxError(operation, "Unknown switch '" + args[i] + "'.");
    const std::string name = rule->name;
    if (!seen.insert(name).second) {
      return syntaxError(operation, "Switch '" + args[i] + "' given twice.");
    }
    std::string argument;
    if (rule->takesArgument) {
      if (i + 1 >= args.size()) return syntaxError(operation, args[i] + " needs an argument.");
      argument = args[++i];
    }
    if (name == "v") {
      command.valueName = argument;
    } else if (name == "ve") {
      command.valueName = std::string();
    } else if (name == "va") {
      command.allValues = true;
    } else if (name == "t") {
      typeText = argument;
    } else if (name == "s") {
      if (operation == Operation::kQuery) {
        command.recurse = true;
      } else {
        separator = argument;
      }
    } else if (name == "d") {
      dataText = argument;
    } else if (name == "f") {
      command.force = true;
    }
    // /reg:32 and /reg:64 choose a view of the Windows registry; there is
    // only one tree here.
  }
  const int valueChoices = static_cast<int>(seen.count("v")) + static_cast<int>(seen.count("ve")) +
                           static_cast<int>(seen.count("va"));
  if (valueChoices > 1) {
    return syntaxError(operation, operation == Operation::kDelete
                                      ? "Give only one of /v, /ve and /va."
                                      : "Give /v or /ve, not both.");
  }
  if (operation == Operation::kDelete && command.subKey.empty() && valueChoices == 0) {
    return failure("ERROR: HKEY_LOCAL_MACHINE itself cannot be deleted.\n");
  }
  if (operation != Operation::kAdd) return ParseResult{command, ""};

  if (typeText) {
    const std::optional<std::uint32_t> type = typeFromName(*typeText);
    if (!type) {
      return failure("ERROR: Invalid type '" + *typeText +
                     "'. Use REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, "
                     "REG_BINARY or REG_NONE.\n" +
                     usageHint(operation));
    }
    command.type = *type;
  }
  if (separator) {
    if (command.type != platform::kRegMultiSz) {
      return syntaxError(operation, "/s applies to REG_MULTI_SZ only.");
    }
    if (separator->size() != 1) {
      return syntaxError(operation, "The separator after /s must be a single character.");
    }
  }
  // As reg does: data or a type without a name is meant for the default
  // value; a bare key name only creates the key.
  if (!command.valueName && (typeText || dataText)) command.valueName = std::string();
  if (!command.valueName) return ParseResult{command, ""};
  std::string dataError;
  std::optional<std::string> data = encodeData(
      command.type, dataText.value_or(""), dataText.has_value(), separator.value_or(""), dataError);
  if (!data) return failure("ERROR: " + dataError + "\n");
  command.data = std::move(*data);
  return ParseResult{command, ""};
}

std::string usageText(Operation topic) {
  switch (topic) {
    case Operation::kAdd:
      return "VORNREG ADD KeyName [/v ValueName | /ve] [/t Type] [/s Separator] [/d Data] [/f]\n"
             "\n"
             "  KeyName    HKLM\\SubKey (or HKEY_LOCAL_MACHINE\\SubKey)\n"
             "  /v         the value to add or change\n"
             "  /ve        the key's default (unnamed) value\n"
             "  /t         REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD,\n"
             "             REG_QWORD, REG_BINARY or REG_NONE\n"
             "  /s         the character that separates REG_MULTI_SZ items (default \\0)\n"
             "  /d         the data: text; a decimal or 0x number; hex digits for\n"
             "             REG_BINARY and REG_NONE\n"
             "  /f         overwrite an existing value without asking\n"
             "\n"
             "Without /v, /ve, /t and /d the key alone is created.\n";
    case Operation::kQuery:
      return "VORNREG QUERY KeyName [/v ValueName | /ve] [/s]\n"
             "\n"
             "  KeyName    HKLM\\SubKey (or HKEY_LOCAL_MACHINE\\SubKey)\n"
             "  /v         show this value only\n"
             "  /ve        show the default (unnamed) value only\n"
             "  /s         include every key below, recursively\n";
    case Operation::kDelete:
      return "VORNREG DELETE KeyName [/v ValueName | /ve | /va] [/f]\n"
             "\n"
             "  KeyName    HKLM\\SubKey (or HKEY_LOCAL_MACHINE\\SubKey)\n"
             "  /v         delete this value\n"
             "  /ve        delete the default (unnamed) value\n"
             "  /va        delete every value of the key, keeping its subkeys\n"
             "  /f         delete without asking\n"
             "\n"
             "Without /v, /ve and /va the key is deleted with everything below it.\n";
    case Operation::kHelp:
      break;
  }
  return "VORNREG Operation [Parameter List]\n"
         "\n"
         "  Operation  ADD | QUERY | DELETE\n"
         "\n"
         "Edits the HKEY_LOCAL_MACHINE tree kept in $VORND_ROOT/registry.\n"
         "Exit code 0 on success, 1 on failure.\n"
         "Type \"VORNREG Operation /?\" for the parameters of one operation.\n";
}

}  // namespace vornreg
