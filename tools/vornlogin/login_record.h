// The login record vornlogin sends, built from its options.
#pragma once

#include <string>

#include "session/net_login.h"
#include "vornlogin/options.h"

namespace vornlogin {

// Empty when the value fits a text field of fieldSize bytes (the value, then
// at least one NUL); otherwise the error line naming the option.
std::string fieldError(const char* option, const std::string& value, std::size_t fieldSize);

// The sub-fields of the startup part fill their ranges exactly, with no NUL
// required after a value that fills its range.
std::string subFieldError(const char* option, const std::string& value, std::size_t fieldSize);

// Fills the record from the options and the password; everything not set
// is zero. Empty on success, else the error line (nothing is cut to fit).
std::string buildLoginRecord(const Options& options, const std::string& password,
                             netLogin& record);

}  // namespace vornlogin
