#include "vornreg/run_command.h"

#include <algorithm>
#include <cctype>
#include <istream>
#include <ostream>
#include <string>

#include "platform/error.h"
#include "platform/registry.h"
#include "vornreg/query_format.h"

namespace vornreg {

namespace {

using platform::ErrorCode;
using platform::RegKeyHandle;

constexpr const char* kSuccess = "The operation completed successfully.\n";
constexpr const char* kCancelled = "The operation was canceled by the user.\n";

class KeyHolder {
 public:
  KeyHolder() = default;
  KeyHolder(const KeyHolder&) = delete;
  KeyHolder& operator=(const KeyHolder&) = delete;
  ~KeyHolder() {
    if (m_hKey != nullptr) platform::regCloseKey(m_hKey);
  }
  RegKeyHandle& get() { return m_hKey; }

 private:
  RegKeyHandle m_hKey = nullptr;
};

// One line for a failed registry call. A damaged file is named with its
// line, so the user can mend it.
std::string errorLine(ErrorCode code) {
  if (code == platform::kErrorFileNotFound) {
    return "ERROR: The system was unable to find the specified registry key or value.\n";
  }
  if (code == platform::kErrorRegistryCorrupt) {
    const std::string where = platform::registryLastParseError();
    if (!where.empty()) return "ERROR: " + where + "\n";
  }
  if (std::optional<std::string> text = platform::systemErrorText(code)) {
    return "ERROR: " + *text;
  }
  return "ERROR: Registry error " + std::to_string(code) + ".\n";
}

int fail(std::ostream& err, ErrorCode code) {
  err << errorLine(code);
  return 1;
}

std::string displayName(const std::string& valueName) {
  return valueName.empty() ? std::string("(Default)") : valueName;
}

// Asks until the answer is yes or no; the end of input is a no.
// `question` ends with "(Yes/No)?" as reg words it.
bool confirm(std::istream& in, std::ostream& out, const std::string& question) {
  for (;;) {
    out << question << " " << std::flush;
    std::string answer;
    if (!std::getline(in, answer)) {
      out << "\n";
      return false;
    }
    answer.erase(std::remove_if(answer.begin(), answer.end(),
                                [](unsigned char c) { return std::isspace(c) != 0; }),
                 answer.end());
    std::transform(answer.begin(), answer.end(), answer.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (answer == "y" || answer == "yes") return true;
    if (answer == "n" || answer == "no") return false;
  }
}

ErrorCode readValue(RegKeyHandle key, const std::string& name, ValueRecord& value) {
  value.name = name;
  // Another writer may grow the value between the two reads.
  for (;;) {
    std::uint32_t size = 0;
    if (ErrorCode error = platform::regQueryValue(key, name, &value.type, nullptr, &size)) {
      return error;
    }
    value.data.assign(size, '\0');
    const ErrorCode error =
        platform::regQueryValue(key, name, &value.type, value.data.data(), &size);
    if (error == platform::kErrorMoreData) continue;
    if (error == platform::kErrorSuccess) value.data.resize(size);
    return error;
  }
}

ErrorCode enumerate(RegKeyHandle key, bool subKeys, std::vector<std::string>& names) {
  for (std::uint32_t index = 0;; ++index) {
    std::string name;
    const ErrorCode error =
        subKeys ? platform::regEnumKey(key, index, name) : platform::regEnumValue(key, index, name);
    if (error == platform::kErrorNoMoreItems) return platform::kErrorSuccess;
    if (error != platform::kErrorSuccess) return error;
    names.push_back(std::move(name));
  }
}

// The key's values (when asked) and its subkeys' names, or (deep) the whole
// tree below.
ErrorCode readKey(RegKeyHandle key, const std::string& fullName, bool withValues, bool deep,
                  KeyRecord& record) {
  record.fullName = fullName;
  if (withValues) {
    std::vector<std::string> names;
    if (ErrorCode error = enumerate(key, false, names)) return error;
    for (const std::string& name : names) {
      ValueRecord value;
      if (ErrorCode error = readValue(key, name, value)) return error;
      record.values.push_back(std::move(value));
    }
  }
  std::vector<std::string> names;
  if (ErrorCode error = enumerate(key, true, names)) return error;
  for (const std::string& name : names) {
    KeyRecord child;
    child.fullName = fullName + "\\" + name;
    if (deep) {
      KeyHolder subKey;
      if (ErrorCode error = platform::regOpenKey(key, name, platform::kKeyRead, subKey.get())) {
        return error;
      }
      if (ErrorCode error = readKey(subKey.get(), child.fullName, withValues, deep, child)) {
        return error;
      }
    }
    record.subKeys.push_back(std::move(child));
  }
  return platform::kErrorSuccess;
}

// query /v or /ve: this key's match, then (with /s) every key below.
ErrorCode findValue(RegKeyHandle key, const std::string& fullName, const Command& command,
                    std::vector<KeyRecord>& matches) {
  // Names match without regard to case; the line shows the stored one.
  std::vector<std::string> names;
  if (ErrorCode error = enumerate(key, false, names)) return error;
  const auto stored = std::find_if(names.begin(), names.end(), [&](const std::string& name) {
    return std::equal(
        name.begin(), name.end(), command.valueName->begin(), command.valueName->end(),
        [](unsigned char a, unsigned char b) { return std::tolower(a) == std::tolower(b); });
  });
  if (stored != names.end()) {
    ValueRecord value;
    const ErrorCode error = readValue(key, *stored, value);
    if (error == platform::kErrorSuccess) {
      matches.push_back(KeyRecord{fullName, {std::move(value)}, {}});
    } else if (error != platform::kErrorFileNotFound) {
      return error;
    }
  }
  if (!command.recurse) return platform::kErrorSuccess;
  std::vector<std::string> subKeys;
  if (ErrorCode error = enumerate(key, true, subKeys)) return error;
  for (const std::string& name : subKeys) {
    KeyHolder subKey;
    if (ErrorCode error = platform::regOpenKey(key, name, platform::kKeyRead, subKey.get())) {
      return error;
    }
    if (ErrorCode error = findValue(subKey.get(), fullName + "\\" + name, command, matches)) {
      return error;
    }
  }
  return platform::kErrorSuccess;
}

int runQuery(const Command& command, std::ostream& out, std::ostream& err) {
  KeyHolder key;
  if (ErrorCode error = platform::regOpenKey(platform::localMachine(), command.subKey,
                                             platform::kKeyRead, key.get())) {
    return fail(err, error);
  }
  const std::string fullName = fullKeyName(command.subKey);
  if (!command.valueName) {
    KeyRecord record;
    if (ErrorCode error = readKey(key.get(), fullName, true, command.recurse, record)) {
      return fail(err, error);
    }
    out << formatKeyListing(record, command.recurse);
    return 0;
  }
  std::vector<KeyRecord> matches;
  if (ErrorCode error = findValue(key.get(), fullName, command, matches)) return fail(err, error);
  if (matches.empty() && !command.recurse) {
    // Every key has a default value to show, set or not.
    if (!command.valueName->empty()) return fail(err, platform::kErrorFileNotFound);
    matches.push_back(KeyRecord{fullName, {{"", platform::kRegSz, "(value not set)"}}, {}});
  }
  out << formatValueMatches(matches, command.recurse);
  return 0;
}

int runAdd(const Command& command, std::istream& in, std::ostream& out, std::ostream& err) {
  KeyHolder key;
  if (ErrorCode error =
          platform::regCreateKey(platform::localMachine(), command.subKey, key.get())) {
    return fail(err, error);
  }
  if (command.valueName) {
    const std::string& name = *command.valueName;
    std::uint32_t type = 0;
    const ErrorCode found = platform::regQueryValue(key.get(), name, &type, nullptr, nullptr);
    if (found != platform::kErrorSuccess && found != platform::kErrorFileNotFound) {
      return fail(err, found);
    }
    if (found == platform::kErrorSuccess && !command.force &&
        !confirm(in, out, "Value " + displayName(name) + " exists, overwrite(Yes/No)?")) {
      out << kCancelled;
      return 0;
    }
    if (ErrorCode error = platform::regSetValue(key.get(), name, command.type, command.data.data(),
                                                static_cast<std::uint32_t>(command.data.size()))) {
      return fail(err, error);
    }
  }
  out << kSuccess;
  return 0;
}

int runDelete(const Command& command, std::istream& in, std::ostream& out, std::ostream& err) {
  KeyHolder key;
  if (ErrorCode error = platform::regOpenKey(platform::localMachine(), command.subKey,
                                             platform::kKeyAllAccess, key.get())) {
    return fail(err, error);
  }
  const std::string fullName = fullKeyName(command.subKey);
  if (command.valueName) {
    const std::string& name = *command.valueName;
    std::uint32_t type = 0;
    if (ErrorCode error = platform::regQueryValue(key.get(), name, &type, nullptr, nullptr)) {
      return fail(err, error);
    }
    if (!command.force &&
        !confirm(in, out, "Delete the registry value " + displayName(name) + " (Yes/No)?")) {
      out << kCancelled;
      return 0;
    }
    if (ErrorCode error = platform::regDeleteValue(key.get(), name)) return fail(err, error);
  } else if (command.allValues) {
    if (!command.force &&
        !confirm(in, out, "Delete all values under the registry key " + fullName + " (Yes/No)?")) {
      out << kCancelled;
      return 0;
    }
    std::vector<std::string> names;
    if (ErrorCode error = enumerate(key.get(), false, names)) return fail(err, error);
    for (const std::string& name : names) {
      const ErrorCode error = platform::regDeleteValue(key.get(), name);
      // One deleted meanwhile by another writer is gone all the same.
      if (error != platform::kErrorSuccess && error != platform::kErrorFileNotFound) {
        return fail(err, error);
      }
    }
  } else {
    if (!command.force &&
        !confirm(in, out, "Permanently delete the registry key " + fullName + " (Yes/No)?")) {
      out << kCancelled;
      return 0;
    }
    if (ErrorCode error = platform::regDeleteTree(platform::localMachine(), command.subKey)) {
      return fail(err, error);
    }
  }
  out << kSuccess;
  return 0;
}

}  // namespace

int runCommand(const Command& command, std::istream& in, std::ostream& out, std::ostream& err) {
  switch (command.operation) {
    case Operation::kHelp:
      out << usageText(command.helpTopic);
      return 0;
    case Operation::kAdd:
      return runAdd(command, in, out, err);
    case Operation::kQuery:
      return runQuery(command, out, err);
    case Operation::kDelete:
      return runDelete(command, in, out, err);
  }
  return 1;
}

}  // namespace vornreg
