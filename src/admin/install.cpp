// -install: the options, the names derived from them, the engine, and the
// service with its list entry, settings and environment.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <utility>

#include "admin/report_error.h"
#include "admin/service_admin.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service_manager.h"

namespace {

constexpr std::uint32_t kScManagerCreateService = 0x0002;

bool startsWith(const std::string& word, const char* prefix) {
  return word.compare(0, std::strlen(prefix), prefix) == 0;
}

bool startsWithAnyCase(const std::string& word, const char* prefix) {
  const std::size_t length = std::strlen(prefix);
  if (word.size() < length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    if (std::tolower(static_cast<unsigned char>(word[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

// A TCP port as -port= takes it: decimal digits only (no sign, blank or
// base prefix), of a value from 1 to 65535; leading zeros are harmless.
//   "8060" yes   "065535" yes   "0" "65536" "-1" "+80" " 80" "80x" "" no
bool isPortNumber(const std::string& text) {
  if (text.empty()) return false;
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
    if (value > 65535) return false;
  }
  return value >= 1;
}

bool equalsAnyCase(const std::string& word, const char* text) {
  return word.size() == std::strlen(text) && startsWithAnyCase(word, text);
}

enum class InstallOption {
  None,
  Name,
  DisplayName,
  Engine,
  Port,
  AuthMethod,
  Debug,
  LogDir,
  Log,
  Tls,
  Certificate,
  Key,
  CommandWord,
};

// The option a word is, tried in this order, or None. -name= and
// -displayName= must be written in this letter case, the others in any;
// -debug, -log and -logdir are whole words, the rest take a value.
InstallOption installOptionOf(const std::string& word) {
  if (startsWith(word, "-name=")) return InstallOption::Name;
  if (startsWith(word, "-displayName=")) return InstallOption::DisplayName;
  if (startsWithAnyCase(word, "-engine=")) return InstallOption::Engine;
  if (startsWithAnyCase(word, "-port=")) return InstallOption::Port;
  if (startsWithAnyCase(word, "-AM=")) return InstallOption::AuthMethod;
  if (equalsAnyCase(word, "-debug")) return InstallOption::Debug;
  if (equalsAnyCase(word, "-logdir") || startsWithAnyCase(word, "-logdir=")) {
    return InstallOption::LogDir;
  }
  if (equalsAnyCase(word, "-log") || startsWithAnyCase(word, "-log=")) return InstallOption::Log;
  if (startsWithAnyCase(word, "-tls=")) return InstallOption::Tls;
  if (startsWithAnyCase(word, "-cert=")) return InstallOption::Certificate;
  if (startsWithAnyCase(word, "-key=")) return InstallOption::Key;
  if (equalsAnyCase(word, "-install")) return InstallOption::CommandWord;
  return InstallOption::None;
}

// The refusal of a word that looks like an option and is none, with what
// was probably meant when that is plain.
std::string unknownOptionText(const std::string& word) {
  std::string text = "Unknown install option '" + word + "'";
  if (word.rfind("--", 0) == 0 && installOptionOf(word.substr(1)) != InstallOption::None) {
    text += " (options take one dash: " + word.substr(1) + ")";
  } else if (startsWithAnyCase(word, "-name=")) {
    text += " (write -name= in this letter case)";
  } else if (startsWithAnyCase(word, "-displayName=")) {
    text += " (write -displayName= in this letter case)";
  }
  return text + "\n";
}

// True when the text, with its environment references expanded as the
// daemon will, names an existing folder.
bool isFolder(const std::string& text) {
  const std::string path = platform::expandEnvironmentStrings(text).value_or(text);
  std::error_code error;
  return std::filesystem::is_directory(path, error);
}

// SockTLS as stored for a -tls= value, in any letter case as the daemon
// reads it; "" for a word that is none of the three.
std::string tlsModeOf(const std::string& value) {
  for (const char* mode : {"No", "Optional", "Required"}) {
    if (equalsAnyCase(value, mode)) return mode;
  }
  return "";
}

// Why the file cannot be read, "" when it can. Opening alone is not
// enough: a folder opens for reading on POSIX and fails only at the read.
std::string unreadableReason(const std::string& path) {
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  int error = errno;
  if (file != nullptr) {
    errno = 0;
    std::fgetc(file);
    error = std::ferror(file) ? errno : 0;
    std::fclose(file);
  }
  if (file != nullptr && error == 0) return "";
  return std::strerror(error != 0 ? error : EIO);
}

std::string afterEquals(const std::string& word) {
  const std::string::size_type equals = word.find('=');
  return equals == std::string::npos ? std::string() : word.substr(equals + 1);
}

// The folder part of a path: everything before its last separator; no
// value when there is none.
std::optional<std::string> folderOf(const std::string& path) {
  const std::string::size_type cut = path.rfind(platform::pathSeparator());
  if (cut == std::string::npos) return std::nullopt;
  return path.substr(0, cut);
}

}  // namespace

void CServiceAdmin::install(int argc, char** argv) {
  bool refused = parseInstallArguments(argc, argv);

  if (m_port.empty()) m_port = "8060";
  if (m_serviceName.empty() && m_displayName.empty()) {
    m_serviceName = "vornd-" + m_port;
    m_displayName = m_serviceName;
  }
  if (m_serviceName.empty()) m_serviceName = "vornd";

  if (!m_engine.empty()) {
    // The service runs in a folder of its own, where a relative path would
    // name some other file, or none.
    if (std::optional<std::string> full = platform::fullPathName(m_engine)) {
      m_engine = *full;
      if (checkEngine()) refused = true;
    } else {
      report("GetFullPathName", platform::lastError());
      refused = true;
    }
  } else {
    std::string found;
    if (findEngine(found)) {
      m_engine = found;
    } else {
      refuse("You must provide an engine name (-engine=engine_name)\n");
      refused = true;
    }
  }

  if (m_displayName.empty()) m_displayName = m_serviceName + "-" + m_port;
  if (refused) return;
  createService(platform::kServiceWin32OwnProcess, platform::kServiceAutoStart);
}

bool CServiceAdmin::parseInstallArguments(int argc, char** argv) {
  bool refused = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    switch (installOptionOf(word)) {
      case InstallOption::Name:
        m_serviceName = afterEquals(word);
        break;
      case InstallOption::DisplayName:
        m_displayName = afterEquals(word);
        break;
      case InstallOption::Engine:
        m_engine = afterEquals(word);
        break;
      case InstallOption::Port:
        m_port = afterEquals(word);
        if (!isPortNumber(m_port)) {
          refuse("Invalid port \"" + m_port + "\": a whole number from 1 to 65535 is required\n");
          refused = true;
        }
        break;
      case InstallOption::AuthMethod:
        m_authMethod = afterEquals(word);
        if (m_authMethod != "Vorn" && m_authMethod != "LogonUser") {
          refuse("Authentication Method (-AM) must be 'Vorn' or 'LogonUser'\n");
          refused = true;
        }
        break;
      case InstallOption::Debug:
        m_logAllEvents = "Yes";
        break;
      case InstallOption::LogDir:
        m_logCreate = "Yes";
        if (word.find('=') != std::string::npos) m_logDir = afterEquals(word);
        break;
      case InstallOption::Log:
        m_logCreate = "Yes";
        if (word.find('=') != std::string::npos) m_logFileName = afterEquals(word);
        break;
      case InstallOption::Tls:
        m_sockTls = tlsModeOf(afterEquals(word));
        if (m_sockTls.empty()) {
          refuse("TLS (-tls) must be 'no', 'optional' or 'required'\n");
          refused = true;
        }
        break;
      case InstallOption::Certificate:
        m_certificateFile = afterEquals(word);
        break;
      case InstallOption::Key:
        m_keyFile = afterEquals(word);
        break;
      case InstallOption::CommandWord:
        break;
      case InstallOption::None:
        if (!parseOtherInstallWord(word)) refused = true;
        break;
    }
  }
  // A log in a folder that is not there would never be written, and
  // nothing would say so.
  if (!m_logDir.empty() && !isFolder(m_logDir)) {
    refuse("The log folder '" + m_logDir + "' does not exist\n");
    refused = true;
  }
  const std::optional<std::string> fileFolder = folderOf(m_logFileName);
  if (fileFolder && !fileFolder->empty() && !isFolder(*fileFolder)) {
    refuse("The folder of the log file '" + m_logFileName + "' does not exist\n");
    refused = true;
  }
  // The daemon would start, find no certificate and serve nothing: better
  // to refuse while the administrator is still at the console.
  if ((m_sockTls == "Optional" || m_sockTls == "Required") &&
      (!m_certificateFile || !m_keyFile)) {
    refuse("TLS (-tls=" + std::string(m_sockTls == "Optional" ? "optional" : "required") +
           ") needs a certificate and its key (-cert=certificate_file -key=key_file)\n");
    refused = true;
  }
  if (m_certificateFile && !takeTlsFile("certificate", *m_certificateFile)) refused = true;
  if (m_keyFile && !takeTlsFile("key", *m_keyFile)) refused = true;
  return refused;
}

bool CServiceAdmin::takeTlsFile(const char* what, std::string& path) {
  // The service reads the file from a folder of its own, as with the engine.
  const std::string full = path.empty() ? path : platform::fullPathName(path).value_or(path);
  const std::string reason = unreadableReason(full);
  if (!reason.empty()) {
    refuse(std::string("The ") + what + " file '" + full + "' cannot be read: " + reason + "\n");
    return false;
  }
  path = full;
  return true;
}

bool CServiceAdmin::parseOtherInstallWord(const std::string& word) {
  if (!word.empty() && word[0] == '-') {
    // A mistyped option dropped in silence would leave the instance on
    // defaults nobody asked for.
    refuse(unknownOptionText(word));
    return false;
  }
  if (!word.empty() && word[0] == '/') return true;
  const std::string::size_type equals = word.find('=');
  if (equals != std::string::npos) {
    m_environment[word.substr(0, equals)] = word.substr(equals + 1);
    return true;
  }
  refuse("Sorry, I don't know what to do with '" + word + "'\n");
  return false;
}

bool CServiceAdmin::findEngine(std::string& result) {
  const std::string fileName = platform::defaultEngineFileName();
  if (auto found = platform::searchPath("..", fileName)) {
    result = *found;
    return true;
  }
  // The parent of the folder that holds this program.
  if (auto folder = folderOf(platform::moduleFileName())) {
    if (auto parent = folderOf(*folder)) {
      if (auto found = platform::searchPath(parent->c_str(), fileName)) {
        result = *found;
        return true;
      }
    }
  }
  if (auto found = platform::searchPath(nullptr, fileName)) {
    result = *found;
    return true;
  }
  return false;
}

bool CServiceAdmin::checkEngine() {
  if (platform::fileVersionInfoSize(m_engine) != 0) return false;
  refuse("The engine name you provided does not seem to be an executable\n");
  return true;
}

void CServiceAdmin::createService(std::uint32_t serviceType, std::uint32_t startType) {
  platform::ScHandle manager = platform::openSCManager(kScManagerCreateService);
  if (manager == nullptr) {
    report("OpenSCManager", platform::lastError());
    return;
  }
  // A path with a blank is quoted: unquoted, Windows would try each
  // blank-separated beginning of it as a program of its own, and the
  // command line would be split there.
  std::string program = platform::moduleFileName();
  if (program.find(' ') != std::string::npos) program = "\"" + program + "\"";
  platform::ScHandle service = platform::createService(
      manager, m_serviceName, m_displayName, platform::kServiceAllAccess, serviceType, startType,
      platform::kServiceErrorNormal, program + " -runService");
  const platform::ErrorCode error = platform::lastError();
  // An installed service only has its settings written again. Any other
  // refusal, a service marked for delete among them (its keys go when it
  // stops, settings written now with them), ends the install here.
  if (service == nullptr && error != platform::kErrorServiceExists) {
    std::printf("\n");
    report("CreateService", error);
    platform::closeServiceHandle(manager);
    return;
  }
  if (service != nullptr) std::printf("\n%s Created\n", m_serviceName.c_str());

  const int failuresBefore = m_failures;
  if (addToServiceList() && writeConfig() && writeEnvironment() && m_failures == failuresBefore) {
    std::printf("%s Configured\n", m_serviceName.c_str());
    printFindings(m_serviceName);
  }

  if (startType == platform::kServiceAutoStart) {
    if (service != nullptr) {
      if (platform::startService(service, {m_serviceName})) {
        std::fflush(stdout);
        if (awaitListening(m_serviceName)) std::printf("\n%s Started\n", m_serviceName.c_str());
      } else {
        report("StartService", platform::lastError());
        const std::string detail = platform::serviceStartFailureDetail();
        if (!detail.empty()) std::printf("%s\n", detail.c_str());
      }
    }
    std::printf("%s will start automatically each time you boot your system\n",
                m_serviceName.c_str());
  }
  if (service != nullptr) platform::closeServiceHandle(service);
  platform::closeServiceHandle(manager);
}

bool CServiceAdmin::setText(platform::RegKeyHandle key, const std::string& name,
                            const std::string& value) {
  const platform::ErrorCode error =
      platform::regSetValue(key, name, platform::kRegExpandSz, value.c_str(),
                            static_cast<std::uint32_t>(value.size() + 1));
  if (error == platform::kErrorSuccess) return true;
  report("RegSetValueEx", error);
  return false;
}

bool CServiceAdmin::addToServiceList() {
  platform::RegKeyHandle key = createKey(kServiceListKey);
  if (key == nullptr) return false;
  setText(key, m_serviceName, m_displayName);
  platform::regCloseKey(key);
  return true;
}

bool CServiceAdmin::writeConfig() {
  platform::RegKeyHandle key = createServiceKey("Config");
  if (key == nullptr) return false;
  const std::string engine =
      m_engine.find(' ') != std::string::npos ? "\"" + m_engine + "\"" : m_engine;
  const std::pair<const char*, const std::string*> values[] = {
      {"VornExecutable", &engine},      {"SockPort", &m_port},
      {"AuthenticationMethod", &m_authMethod}, {"LogAllEvents", &m_logAllEvents},
      {"LogCreate", &m_logCreate},      {"LogServiceDir", &m_logDir},
      {"LogFileName", &m_logFileName},
  };
  // An option not given leaves the value of an earlier install alone.
  for (const auto& [name, value] : values) {
    if (!value->empty()) setText(key, name, *value);
  }
  if (m_certificateFile) setText(key, "TLSCertificateFile", *m_certificateFile);
  if (m_keyFile) setText(key, "TLSKeyFile", *m_keyFile);
  // No is the daemon's default: -tls=no takes away an earlier install's
  // mode rather than write one, so an instance that never had TLS keeps
  // the same values as before there was any.
  if (m_sockTls == "No") {
    const platform::ErrorCode deleted = platform::regDeleteValue(key, "SockTLS");
    if (deleted != platform::kErrorSuccess && deleted != platform::kErrorFileNotFound) {
      report("RegDeleteValue", deleted);
    }
  } else if (!m_sockTls.empty()) {
    setText(key, "SockTLS", m_sockTls);
  }
  platform::regCloseKey(key);
  return true;
}

bool CServiceAdmin::writeEnvironment() {
  platform::RegKeyHandle key = createServiceKey("Environment");
  if (key == nullptr) return false;
  for (const auto& [name, value] : m_environment) setText(key, name, value);
  platform::regCloseKey(key);
  return true;
}
