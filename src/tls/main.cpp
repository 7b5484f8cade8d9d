// vornd-tls: the daemon's TLS relay. Started by the daemon with its end of
// the channel as descriptor 3; see relay_master.h for what it then does.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <openssl/crypto.h>

#include "tls/relay_master.h"

namespace {

constexpr int kChannel = 3;
constexpr int kBadCommandLine = 2;
constexpr int kMostHandshakeSeconds = 3600;

constexpr const char* kUsage =
    "usage: vornd-tls --cert CERTFILE --key KEYFILE [--client-ca CAFILE] "
    "--handshake-seconds N\n"
    "  started by vornd, with its channel as descriptor 3\n"
    "       vornd-tls --check CERTFILE KEYFILE [CAFILE]\n"
    "  what would keep the relay from starting with these files, a line each";

bool channelIsSocket() {
  struct stat status {};
  return ::fstat(kChannel, &status) == 0 && S_ISSOCK(status.st_mode);
}

bool parseSeconds(const std::string& text, int& seconds) {
  if (text.empty() || text.size() > 4) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > kMostHandshakeSeconds) return false;
  seconds = value;
  return true;
}

// Empty when the command line is sound, else what is wrong with it.
std::string parse(int argc, char** argv, vornd_tls::MasterSettings& settings) {
  bool haveSeconds = false;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    std::string value;
    const std::size_t equals = option.find('=');
    if (option.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = option.substr(equals + 1);
      option.resize(equals);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      return option + " needs a value";
    }
    if (value.empty()) return option + " needs a value";
    if (option == "--cert") {
      settings.files.certificate = value;
    } else if (option == "--key") {
      settings.files.key = value;
    } else if (option == "--client-ca") {
      settings.files.clientCa = value;
    } else if (option == "--handshake-seconds") {
      if (!parseSeconds(value, settings.handshakeSeconds)) {
        return "--handshake-seconds takes a whole number of seconds from 1 to " +
               std::to_string(kMostHandshakeSeconds) + ", not " + value;
      }
      haveSeconds = true;
    } else {
      return "unknown option " + option;
    }
  }
  if (settings.files.certificate.empty()) return "--cert is missing";
  if (settings.files.key.empty()) return "--key is missing";
  if (!haveSeconds) return "--handshake-seconds is missing";
  return std::string();
}

// --check: one line a problem, "<role> <text>", the role one of
// certificate, key, client-ca (the text then "<path>: <reason>") and
// account; 1 when there is any, else 0. The account is looked at only as
// root: the relay keeps the account it is started with otherwise.
int check(int argc, char** argv) {
  if (argc < 4 || argc > 5) {
    std::fprintf(stderr, "vornd-tls: --check takes two or three files\n%s\n", kUsage);
    return kBadCommandLine;
  }
  vornd_tls::ContextFiles files{argv[2], argv[3], argc == 5 ? argv[4] : ""};
  const vornd_tls::FileReasons reasons = vornd_tls::checkServerFiles(files);
  int problems = 0;
  const auto say = [&problems](const char* role, const std::string& text) {
    std::printf("%s %s\n", role, text.c_str());
    ++problems;
  };
  if (!reasons.certificate.empty()) say("certificate", files.certificate + ": " + reasons.certificate);
  if (!reasons.key.empty()) say("key", files.key + ": " + reasons.key);
  if (!reasons.clientCa.empty()) say("client-ca", files.clientCa + ": " + reasons.clientCa);
  if (::geteuid() == 0) {
    std::string warning, error;
    vornd_tls::relayAccount(warning, error);
    if (!warning.empty()) say("account", warning);
    if (!error.empty()) say("account", error);
  }
  return problems > 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Asked by `vornd --version`: the library this program is linked with.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("%s\n", OpenSSL_version(OPENSSL_VERSION));
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--check") == 0) return check(argc, argv);
  vornd_tls::MasterSettings settings;
  const std::string problem = parse(argc, argv, settings);
  const bool started = channelIsSocket();
  if (!problem.empty() || !started) {
    if (started) vornd_tls::sendChannelMessage(kChannel, "error " + problem);
    std::fprintf(stderr, "vornd-tls: %s\n%s\n",
                 started ? problem.c_str() : "descriptor 3 is not the daemon's channel", kUsage);
    return kBadCommandLine;
  }
  return vornd_tls::runMaster(kChannel, settings);
}
