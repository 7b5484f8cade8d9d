#include "vornlogin/login_record.h"

#include <cstring>

namespace vornlogin {

namespace {

std::string tooLong(const char* option, std::size_t length, std::size_t most) {
  return std::string(option) + " is " + std::to_string(length) + " characters long; at most " +
         std::to_string(most) + " fit";
}

// A value with a NUL inside would arrive cut short.
std::string withZero(const char* option) {
  return std::string(option) + " holds a zero byte";
}

void place(netLogin& record, std::size_t offset, const std::string& value) {
  std::memcpy(record.bytes + offset, value.data(), value.size());
}

}  // namespace

std::string fieldError(const char* option, const std::string& value, std::size_t fieldSize) {
  if (value.find('\0') != std::string::npos) return withZero(option);
  if (value.size() + 1 > fieldSize) return tooLong(option, value.size(), fieldSize - 1);
  return std::string();
}

std::string subFieldError(const char* option, const std::string& value, std::size_t fieldSize) {
  if (value.find('\0') != std::string::npos) return withZero(option);
  if (value.size() > fieldSize) return tooLong(option, value.size(), fieldSize);
  return std::string();
}

std::string buildLoginRecord(const Options& options, const std::string& password,
                             netLogin& record) {
  std::memset(record.bytes, 0, sizeof record.bytes);
  std::string error = fieldError("-u", options.user, netLogin::kUserSize);
  if (error.empty()) error = fieldError("the password", password, netLogin::kPasswordSize);
  struct SubField {
    const char* option;
    const std::string& value;
    std::size_t offset, size;
  };
  const SubField subFields[] = {
      {"--ap", options.ap, netLogin::kAp, netLogin::kApSize},
      {"--db", options.db, netLogin::kDb, netLogin::kDbSize},
      {"--type", options.type, netLogin::kType, netLogin::kTypeSize},
      {"--process", options.process, netLogin::kProcess, netLogin::kProcessSize},
  };
  for (const SubField& field : subFields) {
    if (error.empty()) error = subFieldError(field.option, field.value, field.size);
    if (error.empty() && options.startup != Startup::kFields && !field.value.empty()) {
      error = std::string(field.option) + " cannot be used with --fms or --odbc";
    }
  }
  if (!error.empty()) return error;

  place(record, netLogin::kUser, options.user);
  place(record, netLogin::kPassword, password);
  switch (options.startup) {
    case Startup::kFms:
      place(record, netLogin::kStartup, "-fms_server");
      break;
    case Startup::kOdbc:
      place(record, netLogin::kStartup, "-odbc_server");
      break;
    case Startup::kFields:
      for (const SubField& field : subFields) place(record, field.offset, field.value);
      break;
  }
  return std::string();
}

}  // namespace vornlogin
