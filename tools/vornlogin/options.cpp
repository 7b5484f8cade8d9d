#include "vornlogin/options.h"

#include <cstring>

#include "session/net_login.h"
#include "vornlogin/login_record.h"

namespace vornlogin {

namespace {

ParseResult failure(std::string error) { return ParseResult{std::nullopt, std::move(error)}; }

// Decimal 1-65535, digits only: "8060" yes; "0", "70000", "+1", " 1" no.
bool parsePort(const std::string& text, std::uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

struct ValueOption {
  const char* name;
  std::string Options::*field;
};

const ValueOption kSubFields[] = {
    {"--ap", &Options::ap},
    {"--db", &Options::db},
    {"--type", &Options::type},
    {"--process", &Options::process},
};

// Files for the TLS layer; an empty name is no file.
const ValueOption kTlsFiles[] = {
    {"--ca", &Options::ca},
    {"--cert", &Options::cert},
    {"--key", &Options::key},
};

// The first fault of the TLS options, or empty.
std::string tlsError(const Options& options) {
  const struct {
    const char* name;
    bool given;
  } needTls[] = {
      {"--ca", !options.ca.empty()},
      {"--insecure", options.insecure},
      {"--cert", !options.cert.empty()},
      {"--key", !options.key.empty()},
  };
  if (!options.tls) {
    for (const auto& option : needTls) {
      if (option.given) return std::string(option.name) + " cannot be used without --tls";
    }
  }
  // Either the certificate is checked against a file or it is not checked.
  if (options.insecure && !options.ca.empty()) return "--insecure and --ca cannot be used together";
  if (options.cert.empty() != options.key.empty()) {
    return options.cert.empty() ? "--key cannot be used without --cert"
                                : "--cert cannot be used without --key";
  }
  return std::string();
}

}  // namespace

ParseResult parseArguments(const std::vector<std::string>& args) {
  Options options;
  bool fms = false, odbc = false, hostSeen = false, optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    // The value of an option: "--ap=X" or the next word.
    auto valueOf = [&](const char* name, std::string& out) -> bool {
      const std::size_t length = std::strlen(name);
      if (word.size() > length && word.compare(0, length, name) == 0 && word[length] == '=') {
        out = word.substr(length + 1);
        return true;
      }
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    auto isOption = [&](const char* name) {
      const std::size_t length = std::strlen(name);
      return word.compare(0, length, name) == 0 &&
             (word.size() == length || (name[1] == '-' && word[length] == '='));
    };

    if (optionsEnded || word.empty() || word[0] != '-' || word == "-") {
      if (hostSeen) {
        return failure("more than one host: \"" + options.host + "\" and \"" + word + "\"");
      }
      hostSeen = true;
      // An IPv6 address stands in brackets, so that its colons are not
      // taken for the port's: [::1]:8060. Bare, it is the host alone.
      std::size_t colon = word.find(':');
      if (!word.empty() && word[0] == '[') {
        const std::size_t close = word.find(']');
        if (close == std::string::npos) return failure("no closing bracket in \"" + word + "\"");
        options.host = word.substr(1, close - 1);
        if (close + 1 < word.size() && word[close + 1] != ':') {
          return failure("\"" + word.substr(close + 1) + "\" after the bracketed host");
        }
        colon = close + 1 < word.size() ? close + 1 : std::string::npos;
      } else if (colon != std::string::npos && word.find(':', colon + 1) != std::string::npos) {
        options.host = word;
        colon = std::string::npos;
      } else {
        options.host = word.substr(0, colon);
      }
      if (options.host.empty()) return failure("no host name in \"" + word + "\"");
      if (colon != std::string::npos && !parsePort(word.substr(colon + 1), options.port)) {
        return failure("bad port \"" + word.substr(colon + 1) + "\" (a number from 1 to 65535)");
      }
      continue;
    }
    if (word == "--") {
      optionsEnded = true;
    } else if (word == "-h" || word == "--help") {
      options.help = true;
    } else if (word == "--fms") {
      fms = true;
    } else if (word == "--odbc") {
      odbc = true;
    } else if (word == "--tls") {
      options.tls = true;
    } else if (word == "--insecure") {
      options.insecure = true;
    } else if (word == "-u" || word == "-p") {
      std::string value;
      if (!valueOf(word.c_str(), value)) return failure("option " + word + " needs a value");
      if (word == "-u") {
        options.user = value;
      } else {
        options.password = value;
      }
    } else {
      const ValueOption* found = nullptr;
      bool file = false;
      for (const ValueOption& option : kSubFields) {
        if (isOption(option.name)) found = &option;
      }
      for (const ValueOption& option : kTlsFiles) {
        if (isOption(option.name)) {
          found = &option;
          file = true;
        }
      }
      if (found == nullptr) return failure("unknown option \"" + word + "\"");
      std::string& value = options.*(found->field);
      if (!valueOf(found->name, value) || (file && value.empty())) {
        return failure(std::string("option ") + found->name + " needs a value");
      }
    }
  }
  if (options.help) return ParseResult{options, std::string()};

  if (fms && odbc) return failure("--fms and --odbc cannot be used together");
  const bool subFields = !options.ap.empty() || !options.db.empty() || !options.type.empty() ||
                         !options.process.empty();
  if ((fms || odbc) && subFields) {
    return failure(std::string(fms ? "--fms" : "--odbc") +
                   " cannot be used with --ap, --db, --type or --process");
  }
  options.startup = fms ? Startup::kFms : (odbc ? Startup::kOdbc : Startup::kFields);
  if (std::string error = tlsError(options); !error.empty()) return failure(error);
  if (!hostSeen) return failure("missing host");

  // Checked here, before a password is asked for; the record is built later.
  std::string error = fieldError("-u", options.user, netLogin::kUserSize);
  // The daemon takes a connection that opens with these letters for a
  // request of its status page, and would never read the login.
  if (error.empty() && options.user.compare(0, 3, "GET") == 0) {
    error = "a user name beginning with \"GET\" cannot log in";
  }
  if (error.empty() && options.password) {
    error = fieldError("-p", *options.password, netLogin::kPasswordSize);
  }
  const std::size_t sizes[] = {netLogin::kApSize, netLogin::kDbSize, netLogin::kTypeSize,
                               netLogin::kProcessSize};
  for (std::size_t k = 0; k < 4 && error.empty(); ++k) {
    error = subFieldError(kSubFields[k].name, options.*(kSubFields[k].field), sizes[k]);
  }
  if (!error.empty()) return failure(error);
  return ParseResult{options, std::string()};
}

std::string usageText() {
  return "usage: vornlogin [-u user] [-p password] [--ap X] [--db X] [--type X]\n"
         "                 [--process X] [--fms | --odbc]\n"
         "                 [--tls [--ca file | --insecure] [--cert file --key file]]\n"
         "                 host[:port]\n"
         "\n"
         "Logs in to a vornd daemon at host (a name, an IPv4 address or an IPv6\n"
         "address, in brackets when a port follows: [::1]:8060; port\n"
         "8060 unless given), then relays standard input to the engine and the\n"
         "engine's output to standard output until either side ends.\n"
         "\n"
         "  -u user        user name, at most 20 characters (default: empty)\n"
         "  -p password    password, at most 52 characters; without -p it is\n"
         "                 asked for on the console, not shown as it is typed\n"
         "  --ap X         application for the engine, at most 3 characters\n"
         "  --db X         database, at most 3 characters\n"
         "  --type X       process type, at most 10 characters\n"
         "  --process X    process name, at most 30 characters\n"
         "  --fms          log in as an -fms_server client (no --ap .. --process)\n"
         "  --odbc         log in as an -odbc_server client (no --ap .. --process)\n"
         "  --tls          connect with TLS (1.2 or later); the server's certificate\n"
         "                 must be valid for host and trusted by the system\n"
         "  --ca file      trust the certificates in this PEM file only\n"
         "  --insecure     do not check the server's certificate at all\n"
         "  --cert file    client certificate (PEM), with --key\n"
         "  --key file     the client certificate's private key (PEM)\n"
         "  -h, --help     print this text\n"
         "\n"
         "Long options also take their value as --ap=X. Messages go to standard\n"
         "error. Exit status: 0 login accepted, 1 login refused (or the engine\n"
         "could not be started), 2 bad arguments or connection failure (a failed\n"
         "TLS handshake too).\n";
}

}  // namespace vornlogin
