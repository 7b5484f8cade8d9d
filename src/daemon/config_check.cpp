#include "daemon/config_check.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <limits>

#include "daemon/registry_access.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "session/address_prefix.h"

namespace {

const char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services\\";

std::string lowered(std::string text) {
  platform::lowerCaseInPlace(text);
  return text;
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// Letters to insert, delete or replace to turn one into the other,
// without regard to case.
std::size_t editDistance(const std::string& from, const std::string& to) {
  const std::string a = lowered(from);
  const std::string b = lowered(to);
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// A number below the bound the daemon holds it to takes its default; the
// finding says which, from the daemon's own reading.
struct IntegerBound {
  const char* name;
  std::int32_t CServiceConfig::*field;
  std::int32_t lowest;
  std::int32_t highest;
  std::uint64_t (*used)(const CServiceConfig&);
};

constexpr std::int32_t kNoHighest = std::numeric_limits<std::int32_t>::max();

const IntegerBound kBounds[] = {
    {"SockReceiveTimeout", &CServiceConfig::SockReceiveTimeout, 1, kNoHighest,
     [](const CServiceConfig& c) -> std::uint64_t { return c.receiveBoundSeconds(); }},
    {"TCPKeepInterval", &CServiceConfig::TCPKeepInterval, 1, kNoHighest,
     [](const CServiceConfig& c) -> std::uint64_t { return c.keepIntervalSeconds(); }},
    {"TCPKeepIdle", &CServiceConfig::TCPKeepIdle, 1, kNoHighest,
     [](const CServiceConfig& c) -> std::uint64_t { return c.keepIdleSeconds(); }},
    {"TCPKeepCount", &CServiceConfig::TCPKeepCount, 1, kNoHighest,
     [](const CServiceConfig& c) -> std::uint64_t { return c.keepCount(); }},
    {"MaxPendingLogins", &CServiceConfig::MaxPendingLogins, 1, kNoHighest,
     [](const CServiceConfig& c) -> std::uint64_t { return c.pendingLoginsBound(); }},
    {"MaxPendingPerSource", &CServiceConfig::MaxPendingPerSource, 1, kNoHighest,
     [](const CServiceConfig& c) -> std::uint64_t { return c.pendingPerSourceBound(); }},
    {"LoginFailureLimit", &CServiceConfig::LoginFailureLimit, 0, kNoHighest,
     [](const CServiceConfig& c) -> std::uint64_t { return c.failureLimit(); }},
    {"LoginFailurePenalty", &CServiceConfig::LoginFailurePenalty, 1, kNoHighest,
     [](const CServiceConfig& c) -> std::uint64_t { return c.failurePenaltySeconds(); }},
    {"LogMaxSize", &CServiceConfig::LogMaxSize, 1, kNoHighest,
     [](const CServiceConfig& c) -> std::uint64_t { return c.logMaxMegabytes(); }},
    {"MaxPendingRecords", &CServiceConfig::MaxPendingRecords, 1, kNoHighest,
     [](const CServiceConfig& c) -> std::uint64_t { return c.pendingRecordsBound(); }},
    {"SourcePrefixIPv6", &CServiceConfig::SourcePrefixIPv6, 1, 128,
     [](const CServiceConfig& c) -> std::uint64_t { return c.sourcePrefixIpv6Bits(); }},
};

void checkPort(const CServiceConfig& config, std::vector<std::string>& findings) {
  if (config.SockPort >= 1 && config.SockPort <= 65535) return;
  const std::uint16_t port = config.listenPort();
  findings.push_back("SockPort " + std::to_string(config.SockPort) +
                     " is outside 1-65535: vornd listens on " +
                     (port == 0 ? std::string("no port") : "port " + std::to_string(port)));
}

void checkBounds(const CServiceConfig& config, std::vector<std::string>& findings) {
  for (const IntegerBound& bound : kBounds) {
    const std::int32_t value = config.*bound.field;
    std::string side;
    if (value < bound.lowest) side = " is below " + std::to_string(bound.lowest);
    if (value > bound.highest) side = " is above " + std::to_string(bound.highest);
    if (side.empty()) continue;
    findings.push_back(std::string(bound.name) + " " + std::to_string(value) + side +
                       ": vornd uses " + std::to_string(bound.used(config)));
  }
}

void checkMethod(const CServiceConfig& config, std::vector<std::string>& findings) {
  const std::string& method = config.AuthenticationMethod;
  if (method == "LogonUser" || method == "Vorn" || method == "HTPassword") return;
  // Any other spelling checks the password as LogonUser does, and then
  // has no use for the account (authentication.cpp).
  findings.push_back("AuthenticationMethod " + quoted(method) +
                     " is none of LogonUser, Vorn and HTPassword: vornd checks passwords, but "
                     "starts engines under its own account");
}

// The lists the loop reads before it listens, with its own words for
// what is wrong: any of them stops it.
void checkAddressLists(const CServiceConfig& config, std::vector<std::string>& findings) {
  const auto report = [&findings](const char* name, const std::string& text,
                                  const std::string& error) {
    findings.push_back(std::string(name) + " " + quoted(text) + ": " + error +
                       "; vornd listens on nothing");
  };
  std::string error;
  if (!config.SockListenAddress.empty()) {
    std::vector<platform::NetAddress> addresses;
    if (!parseAddressList(config.SockListenAddress, &addresses, &error) || addresses.empty()) {
      report("SockListenAddress", config.SockListenAddress, error.empty() ? "no address" : error);
    }
  }
  const std::pair<const char*, const std::string*> prefixLists[] = {
      {"ProxyProtocolFrom", &config.ProxyProtocolFrom},
      {"StatusPageFrom", &config.StatusPageFrom},
  };
  for (const auto& [name, text] : prefixLists) {
    std::vector<AddressPrefix> prefixes;
    error.clear();
    if (!parsePrefixList(*text, &prefixes, &error)) report(name, *text, error);
  }
}

}  // namespace

std::string checkValueName(const std::string& name) {
  if (CServiceConfig::valueKind(name)) return std::string();
  std::string text = name + " is not a setting vornd knows";
  std::string nearest;
  std::size_t best = std::numeric_limits<std::size_t>::max();
  for (const std::string& known : CServiceConfig::knownNames()) {
    const std::size_t distance = editDistance(name, known);
    if (distance < best) {
      best = distance;
      nearest = known;
    }
  }
  // Near: a slip of a few letters, fewer for a short name.
  if (best <= std::max<std::size_t>(2, nearest.size() / 4)) text += "; did you mean " + nearest + "?";
  return text;
}

std::string checkIntegerText(const std::string& name, const std::string& text) {
  // Digits with an optional sign, within the 32-bit range, are read as
  // written; anything else is read as far as atol gets.
  const std::size_t sign = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
  const bool digits = text.size() > sign && std::all_of(text.begin() + sign, text.end(), [](char c) {
                        return c >= '0' && c <= '9';
                      });
  std::int32_t value = 0;
  // from_chars takes a minus sign, not a plus.
  if (digits && std::from_chars(text.data() + (text[0] == '+' ? 1 : 0),
                                text.data() + text.size(), value)
                        .ec == std::errc()) {
    return std::string();
  }
  return name + " " + quoted(text) + " is read as " +
         std::to_string(CServiceConfig::integerValue(text));
}

std::string checkTruthText(const std::string& name, const std::string& text) {
  // Yes and No in any letter case, and their first letters; but only an
  // upper-case Y is read as Yes.
  const std::string word = lowered(text);
  const bool yes = (word == "yes" || word == "y") && CServiceConfig::truthValue(text);
  if (yes || word == "no" || word == "n") return std::string();
  return name + " " + quoted(text) + " is read as " +
         (CServiceConfig::truthValue(text) ? "Yes" : "No");
}

std::vector<std::string> checkSettings(const CServiceConfig& config, ConfigCheckScope scope) {
  std::vector<std::string> findings;
  checkPort(config, findings);
  checkBounds(config, findings);
  checkMethod(config, findings);
  checkAddressLists(config, findings);
  checkEngine(config, findings);
  checkTls(config, scope, findings);
  return findings;
}

std::vector<std::string> checkConfiguration(const std::string& serviceName,
                                            ConfigCheckScope scope) {
  const std::string path = kServicesKey + serviceName + "\\Config";
  RegKey key(platform::localMachine(), path);
  if (!key.isOpen()) {
    if (key.openError() == platform::kErrorRegistryCorrupt) {
      return {"The registry cannot be read (" + platform::registryLastParseError() + ")"};
    }
    return {serviceName + " has no settings: there is no key " + path};
  }
  std::vector<std::string> findings;
  CServiceConfig config;
  for (RegValue value : RegValueSequence(key)) {
    // The type first, so that an expandable text comes back expanded, as
    // the daemon reads it.
    value.Type();
    const std::string& name = value.Name();
    const std::optional<CServiceConfig::ValueKind> kind = CServiceConfig::valueKind(name);
    std::string finding;
    if (!kind) {
      finding = checkValueName(name);
    } else if (*kind == CServiceConfig::ValueKind::Integer) {
      finding = checkIntegerText(name, value.Text());
    } else if (*kind == CServiceConfig::ValueKind::Truth) {
      finding = checkTruthText(name, value.Text());
    }
    if (!finding.empty()) findings.push_back(finding);
    if (kind) config.setValue(name, value.Text());
  }
  for (std::string& finding : checkSettings(config, scope)) findings.push_back(std::move(finding));
  return findings;
}
