// The process's own environment variables.
#pragma once

#include <optional>
#include <string>

namespace platform {

std::optional<std::string> getEnvironmentVariable(const std::string& name);

// Sets a variable, or removes it when the value is absent. False with the
// last error set on failure.
bool setEnvironmentVariable(const std::string& name, const std::optional<std::string>& value);

// Replaces each %NAME% by the variable's value, as ExpandEnvironmentStrings
// does: a reference to a variable that does not exist stays as written, and
// so does a lone %.
//
//   %HOME%\x        /root\x         (HOME=/root)
//   %NOPE%\x        %NOPE%\x
//   100%            100%
//   %NOPE%HOME%     %NOPEHOME%      the second % starts a new reference
//
// No value on failure, with the last error set.
std::optional<std::string> expandEnvironmentStrings(const std::string& text);

}  // namespace platform
