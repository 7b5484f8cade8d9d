// The process's own environment variables.
#pragma once

#include <optional>
#include <string>

namespace platform {

std::optional<std::string> getEnvironmentVariable(const std::string& name);

// Sets a variable, or removes it when the value is absent. False with the
// last error set on failure.
bool setEnvironmentVariable(const std::string& name, const std::optional<std::string>& value);

}  // namespace platform
