#include "daemon/service_config.h"

#include <cctype>
#include <limits>

#include "daemon/registry_access.h"
#include "platform/debug_output.h"
#include "platform/environment.h"

namespace {

const char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services\\";
const char kSystemEnvironmentKey[] =
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

// Which field a Config value fills, by its exact name.
struct FieldRule {
  const char* name;
  bool CServiceConfig::*truth;
  std::int32_t CServiceConfig::*integer;
  std::string CServiceConfig::*text;
};

constexpr FieldRule truth(const char* name, bool CServiceConfig::*field) {
  return {name, field, nullptr, nullptr};
}
constexpr FieldRule integer(const char* name, std::int32_t CServiceConfig::*field) {
  return {name, nullptr, field, nullptr};
}
constexpr FieldRule text(const char* name, std::string CServiceConfig::*field) {
  return {name, nullptr, nullptr, field};
}

const FieldRule kFields[] = {
    truth("ServiceDisable", &CServiceConfig::ServiceDisable),
    truth("ServiceDisableVornKeys", &CServiceConfig::ServiceDisableVornKeys),
    truth("ServiceDisableFms", &CServiceConfig::ServiceDisableFms),
    truth("ServiceDisableLogins", &CServiceConfig::ServiceDisableLogins),
    truth("ServiceDisableCmds", &CServiceConfig::ServiceDisableCmds),
    truth("ServiceDisableODBC", &CServiceConfig::ServiceDisableODBC),
    text("VornExecutable", &CServiceConfig::VornExecutable),
    text("VornDatabase", &CServiceConfig::VornDatabase),
    text("VornApplication", &CServiceConfig::VornApplication),
    text("VornProcessName", &CServiceConfig::VornProcessName),
    text("VornProcessType", &CServiceConfig::VornProcessType),
    text("LogServiceDir", &CServiceConfig::LogServiceDir),
    text("LogMasterDir", &CServiceConfig::LogMasterDir),
    text("LogFileName", &CServiceConfig::LogFileName),
    truth("LogCreate", &CServiceConfig::LogCreate),
    truth("LogAllEvents", &CServiceConfig::LogAllEvents),
    integer("SockPort", &CServiceConfig::SockPort),
    integer("SockListenTimeout", &CServiceConfig::SockListenTimeout),
    integer("SockReceiveTimeout", &CServiceConfig::SockReceiveTimeout),
    integer("SockAbandonTimeout", &CServiceConfig::SockAbandonTimeout),
    truth("SockNoDelay", &CServiceConfig::SockNoDelay),
    truth("SockNonBlock", &CServiceConfig::SockNonBlock),
    text("AuthenticationMethod", &CServiceConfig::AuthenticationMethod),
    truth("IncludeSystemEnv", &CServiceConfig::IncludeSystemEnv),
    truth("CreateDesktop", &CServiceConfig::CreateDesktop),
    truth("TCPEnableKeepAlive", &CServiceConfig::TCPEnableKeepAlive),
    integer("TCPKeepInterval", &CServiceConfig::TCPKeepInterval),
    integer("TCPKeepIdle", &CServiceConfig::TCPKeepIdle),
    integer("TCPKeepCount", &CServiceConfig::TCPKeepCount),
    integer("MaxPendingLogins", &CServiceConfig::MaxPendingLogins),
    integer("MaxPendingPerSource", &CServiceConfig::MaxPendingPerSource),
    integer("LoginFailureLimit", &CServiceConfig::LoginFailureLimit),
    integer("LoginFailurePenalty", &CServiceConfig::LoginFailurePenalty),
    integer("LogMaxSize", &CServiceConfig::LogMaxSize),
    integer("MaxPendingRecords", &CServiceConfig::MaxPendingRecords),
    text("SockTLS", &CServiceConfig::SockTLS),
    text("TLSCertificateFile", &CServiceConfig::TLSCertificateFile),
    text("TLSKeyFile", &CServiceConfig::TLSKeyFile),
    text("TLSClientCAFile", &CServiceConfig::TLSClientCAFile),
    text("SockListenAddress", &CServiceConfig::SockListenAddress),
    integer("SourcePrefixIPv6", &CServiceConfig::SourcePrefixIPv6),
    text("ProxyProtocolFrom", &CServiceConfig::ProxyProtocolFrom),
    text("StatusPageFrom", &CServiceConfig::StatusPageFrom),
};

const char kDebugService[] = "DebugService";

const FieldRule* ruleOf(const std::string& name) {
  for (const FieldRule& rule : kFields) {
    if (name == rule.name) return &rule;
  }
  return nullptr;
}

void debugService() {
  // Without a debugger the break would end the daemon; say so instead.
  if (platform::debuggerPresent()) {
    platform::debugBreak();
  } else {
    platform::debugOutput("DebugService is set, but no debugger is attached: going on");
  }
}

}  // namespace

std::optional<CServiceConfig::ValueKind> CServiceConfig::valueKind(const std::string& name) {
  if (name == kDebugService) return ValueKind::Text;
  const FieldRule* rule = ruleOf(name);
  if (rule == nullptr) return std::nullopt;
  if (rule->truth != nullptr) return ValueKind::Truth;
  if (rule->integer != nullptr) return ValueKind::Integer;
  return ValueKind::Text;
}

std::vector<std::string> CServiceConfig::knownNames() {
  std::vector<std::string> names;
  for (const FieldRule& rule : kFields) names.emplace_back(rule.name);
  names.emplace_back(kDebugService);
  return names;
}

bool CServiceConfig::setValue(const std::string& name, const std::string& text) {
  const FieldRule* rule = ruleOf(name);
  if (rule == nullptr) return false;
  if (rule->truth != nullptr) this->*rule->truth = truthValue(text);
  if (rule->integer != nullptr) this->*rule->integer = integerValue(text);
  if (rule->text != nullptr) this->*rule->text = text;
  return true;
}

bool CServiceConfig::truthValue(const std::string& text) { return !text.empty() && text[0] == 'Y'; }

// atol on a 32-bit platform: white space, a sign, the digits up to the
// first other character; no digits give 0, and a number out of range is
// held at the nearest limit rather than wrapped.
std::int32_t CServiceConfig::integerValue(const std::string& text) {
  std::size_t at = 0;
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  const std::int64_t limit = negative ? -static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::min())
                                      : std::numeric_limits<std::int32_t>::max();
  std::int64_t value = 0;
  for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at) {
    value = value * 10 + (text[at] - '0');
    if (value > limit) value = limit;
  }
  return static_cast<std::int32_t>(negative ? -value : value);
}

void CServiceConfig::Load(const std::string& serviceName) {
  const std::string serviceKey = kServicesKey + serviceName;
  {
    RegKey config(platform::localMachine(), serviceKey + "\\Config");
    for (RegValue value : RegValueSequence(config)) {
      // The type first, so that an expandable text comes back expanded.
      value.Type();
      if (value.Name() == kDebugService) {
        debugService();
        continue;
      }
      if (ruleOf(value.Name()) != nullptr) setValue(value.Name(), value.Text());
    }
  }

  // Absent from this process's environment, they are handed on empty.
  Environment["SystemDrive"] = platform::getEnvironmentVariable("SystemDrive").value_or("");
  Environment["SystemRoot"] = platform::getEnvironmentVariable("SystemRoot").value_or("");

  {
    // Taken as stored: references stay for the engine's own environment.
    RegKey environment(platform::localMachine(), serviceKey + "\\Environment");
    for (RegValue value : RegValueSequence(environment)) Environment[value.Name()] = value.Text();
  }

  if (IncludeSystemEnv) {
    RegKey system(platform::localMachine(), kSystemEnvironmentKey);
    for (RegValue value : RegValueSequence(system)) {
      value.Type();
      Environment[value.Name()] = value.Text();
    }
  }
}

namespace {

template <typename Number>
Number positiveOr(std::int32_t value, Number fallback) {
  return value > 0 ? static_cast<Number>(value) : fallback;
}

}  // namespace

std::uint32_t CServiceConfig::receiveBoundSeconds() const {
  return positiveOr(SockReceiveTimeout, kDefaultReceiveSeconds);
}

std::size_t CServiceConfig::pendingLoginsBound() const {
  return positiveOr(MaxPendingLogins, kDefaultPendingLogins);
}

std::size_t CServiceConfig::pendingPerSourceBound() const {
  return positiveOr(MaxPendingPerSource, kDefaultPendingPerSource);
}

std::size_t CServiceConfig::pendingRecordsBound() const {
  return positiveOr(MaxPendingRecords, kDefaultPendingRecords);
}

std::size_t CServiceConfig::failureLimit() const {
  return LoginFailureLimit == 0 ? 0 : positiveOr(LoginFailureLimit, kDefaultFailureLimit);
}

std::uint32_t CServiceConfig::failurePenaltySeconds() const {
  return positiveOr(LoginFailurePenalty, kDefaultFailurePenaltySeconds);
}

std::uint32_t CServiceConfig::logMaxMegabytes() const {
  // A bound below 1 MB would be no log at all: it takes the default.
  return positiveOr(LogMaxSize, kDefaultLogMaxMegabytes);
}

std::optional<TlsMode> CServiceConfig::tlsMode() const {
  // Compared without regard to case, as the truth values' "Yes" is read
  // from its first letter; anything else is no mode at all, and the
  // daemon serves nothing rather than guess.
  auto is = [this](const char* word) {
    if (SockTLS.size() != std::char_traits<char>::length(word)) return false;
    for (std::size_t i = 0; i < SockTLS.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(SockTLS[i])) != word[i]) return false;
    }
    return true;
  };
  if (SockTLS.empty() || is("no")) return TlsMode::No;
  if (is("optional")) return TlsMode::Optional;
  if (is("required")) return TlsMode::Required;
  return std::nullopt;
}

std::uint32_t CServiceConfig::sourcePrefixIpv6Bits() const {
  if (SourcePrefixIPv6 > 128) return 128;
  return positiveOr(SourcePrefixIPv6, kDefaultSourcePrefixIpv6);
}

std::uint32_t CServiceConfig::keepIdleSeconds() const {
  return positiveOr(TCPKeepIdle, kDefaultKeepIdleSeconds);
}

std::uint32_t CServiceConfig::keepIntervalSeconds() const {
  return positiveOr(TCPKeepInterval, kDefaultKeepIntervalSeconds);
}

std::uint32_t CServiceConfig::keepCount() const {
  return positiveOr(TCPKeepCount, kDefaultKeepCount);
}

LogStream& CServiceConfig::Dump(LogStream& log) const {
  log.entry() << "ServiceDisable(" << ServiceDisable << ")";
  log.entry() << "ServiceDisableVornKeys(" << ServiceDisableVornKeys << ")";
  log.entry() << "ServiceDisableFms(" << ServiceDisableFms << ")";
  log.entry() << "ServiceDisableODBC(" << ServiceDisableODBC << ")";
  log.entry() << "ServiceDisableLogins(" << ServiceDisableLogins << ")";
  log.entry() << "ServiceEnableCmds(" << !ServiceDisableCmds << ")";
  log.entry() << "VornExecutable(" << VornExecutable << ")";
  log.entry() << "VornDatabase(" << VornDatabase << ")";
  log.entry() << "VornApplication(" << VornApplication << ")";
  log.entry() << "VornProcessName(" << VornProcessName << ")";
  log.entry() << "VornProcessType(" << VornProcessType << ")";
  log.entry() << "LogServiceDir(" << LogServiceDir << ")";
  log.entry() << "LogMasterDir(" << LogMasterDir << ")";
  log.entry() << "LogCreate(" << LogCreate << ")";
  log.entry() << "LogFileName(" << LogFileName << ")";
  log.entry() << "LogAllEvents(" << LogAllEvents << ")";
  log.entry() << "SockPort(" << SockPort << ")";
  log.entry() << "SockListenTimeout(" << SockListenTimeout << ")";
  log.entry() << "SockReceiveTimeout(" << SockReceiveTimeout << ")";
  log.entry() << "SockAbandonTimeout(" << SockAbandonTimeout << ")";
  log.entry() << "SockNoDelay(" << SockNoDelay << ")";
  log.entry() << "SockNonBlock(" << SockNonBlock << ")";
  log.entry() << "AuthenticationMethod(" << AuthenticationMethod << ")";
  log.entry() << "IncludeSystemEnv(" << IncludeSystemEnv << ")";
  log.entry() << "CreateDesktop(" << CreateDesktop << ")";
  log.entry() << "MaxPendingLogins(" << MaxPendingLogins << ")";
  log.entry() << "MaxPendingPerSource(" << MaxPendingPerSource << ")";
  log.entry() << "LoginFailureLimit(" << LoginFailureLimit << ")";
  log.entry() << "LoginFailurePenalty(" << LoginFailurePenalty << ")";
  log.entry() << "LogMaxSize(" << LogMaxSize << ")";
  log.entry() << "MaxPendingRecords(" << MaxPendingRecords << ")";
  log.entry() << "SockTLS(" << SockTLS << ")";
  log.entry() << "TLSCertificateFile(" << TLSCertificateFile << ")";
  log.entry() << "TLSKeyFile(" << TLSKeyFile << ")";
  log.entry() << "TLSClientCAFile(" << TLSClientCAFile << ")";
  log.entry() << "SockListenAddress(" << SockListenAddress << ")";
  log.entry() << "SourcePrefixIPv6(" << SourcePrefixIPv6 << ")";
  log.entry() << "ProxyProtocolFrom(" << ProxyProtocolFrom << ")";
  log.entry() << "StatusPageFrom(" << StatusPageFrom << ")";
  return log;
}
