// The command line of vornlogin:
//
//   vornlogin [-u USER] [-p PASSWORD] [--ap X] [--db X] [--type X]
//             [--process X] [--fms | --odbc]
//             [--tls [--ca FILE | --insecure] [--cert FILE --key FILE]]
//             HOST[:PORT]
//
// Options that take a value accept it as the next word or, for the long
// ones, after "=" (--ap=X). A value is taken as it stands, even when it
// begins with "-". Every value must fit its field of the login record:
// nothing is cut.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vornlogin {

inline constexpr std::uint16_t kDefaultPort = 8060;

// What the startup part of the record carries.
enum class Startup { kFields, kFms, kOdbc };

struct Options {
  bool help = false;
  std::string user;  // empty when -u is not given
  // Absent: asked for on the console.
  std::optional<std::string> password;
  Startup startup = Startup::kFields;
  std::string ap, db, type, process;
  std::string host;
  std::uint16_t port = kDefaultPort;
  // The connection's TLS: the server's certificate checked against `ca`
  // (the system's trust store when empty) unless `insecure`; a client
  // certificate when `cert` and `key` are given. The rest only with tls.
  bool tls = false, insecure = false;
  std::string ca, cert, key;
};

struct ParseResult {
  std::optional<Options> options;
  std::string error;  // one line, without its end, when there are no options
};

// args: the words after the program name.
ParseResult parseArguments(const std::vector<std::string>& args);

// The text -h and --help print, lines ended.
std::string usageText();

}  // namespace vornlogin
