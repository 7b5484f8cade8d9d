// CServiceConfig: every setting of one installed instance, plus the
// environment list it hands to its engines. Each field bears the name of
// the registry value that fills it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "daemon/log_stream.h"

// How the instance's port takes TLS.
enum class TlsMode { No, Optional, Required };

class CServiceConfig {
 public:
  // Fills the record from the instance's registry keys; missing keys and
  // values leave the defaults. Reports nothing.
  void Load(const std::string& serviceName);

  // The configuration dump: 35 lines, one a setting.
  LogStream& Dump(LogStream& log) const;

  // The registry's text conversions.
  static bool truthValue(const std::string& text);
  static std::int32_t integerValue(const std::string& text);

  // How the daemon reads a Config value of that exact name (names compare
  // byte by byte here, unlike the registry's); nothing for a name it
  // passes over. DebugService is read by its presence alone (Text).
  enum class ValueKind { Truth, Integer, Text };
  static std::optional<ValueKind> valueKind(const std::string& name);
  // Every name the daemon reads, DebugService among them.
  static std::vector<std::string> knownNames();
  // Fills the field of that name from its text as Load does; false for a
  // name without a field.
  bool setValue(const std::string& name, const std::string& text);

  // The values as the daemon uses them, each with its default where the
  // value is out of its range (see the fields below).
  static constexpr std::uint32_t kDefaultReceiveSeconds = 5;
  static constexpr std::size_t kDefaultPendingLogins = 64;
  static constexpr std::size_t kDefaultPendingPerSource = 8;
  static constexpr std::size_t kDefaultPendingRecords = 1024;
  static constexpr std::size_t kDefaultFailureLimit = 10;
  static constexpr std::uint32_t kDefaultFailurePenaltySeconds = 60;
  static constexpr std::uint32_t kDefaultLogMaxMegabytes = 64;
  static constexpr std::uint32_t kDefaultKeepIdleSeconds = 300;
  static constexpr std::uint32_t kDefaultKeepIntervalSeconds = 60;
  static constexpr std::uint32_t kDefaultKeepCount = 8;
  static constexpr std::uint32_t kDefaultSourcePrefixIpv6 = 64;
  // The port the listener binds: the low 16 bits of SockPort.
  std::uint16_t listenPort() const { return static_cast<std::uint16_t>(SockPort & 0xFFFF); }
  std::uint32_t receiveBoundSeconds() const;
  std::size_t pendingLoginsBound() const;
  std::size_t pendingPerSourceBound() const;
  std::size_t pendingRecordsBound() const;
  // 0: no limit.
  std::size_t failureLimit() const;
  std::uint32_t failurePenaltySeconds() const;
  std::uint32_t logMaxMegabytes() const;
  std::uint32_t keepIdleSeconds() const;
  std::uint32_t keepIntervalSeconds() const;
  std::uint32_t keepCount() const;
  // SockTLS read; nothing for a value that is none of the three.
  std::optional<TlsMode> tlsMode() const;
  std::uint32_t sourcePrefixIpv6Bits() const;

  bool ServiceDisable = false;
  bool ServiceDisableVornKeys = false;
  bool ServiceDisableFms = false;
  bool ServiceDisableLogins = false;
  bool ServiceDisableCmds = false;
  bool ServiceDisableODBC = false;
  std::string VornExecutable;
  std::string VornDatabase;
  std::string VornApplication;
  std::string VornProcessName;
  std::string VornProcessType;
  std::string LogServiceDir;
  std::string LogMasterDir;
  std::string LogFileName;
  bool LogCreate = false;
  bool LogAllEvents = false;
  std::int32_t SockPort = 8060;
  std::int32_t SockListenTimeout = 5;
  std::int32_t SockReceiveTimeout = 5;
  std::int32_t SockAbandonTimeout = 30;
  bool SockNoDelay = true;
  bool SockNonBlock = false;
  std::string AuthenticationMethod = "LogonUser";
  bool IncludeSystemEnv = true;
  bool CreateDesktop = true;
  bool TCPEnableKeepAlive = true;
  std::int32_t TCPKeepInterval = 60;
  std::int32_t TCPKeepIdle = 300;
  std::int32_t TCPKeepCount = 8;
  // Logins between their whole record and the end of their check and
  // launch; at the limit a whole record waits for a slot. Below 1: the
  // default.
  std::int32_t MaxPendingLogins = 64;
  // Connections of one source (an IPv4 address, an IPv6 prefix), at any
  // stage; one more is closed at
  // once.
  std::int32_t MaxPendingPerSource = 8;
  // Failed logon checks from one address within LoginFailurePenalty
  // seconds that block it, until LoginFailurePenalty seconds after its
  // last failure. 0: no limit; below 0, and a penalty below 1: the default.
  std::int32_t LoginFailureLimit = 10;
  std::int32_t LoginFailurePenalty = 60;
  // The most the log file may hold, in MB; below 1: the default.
  std::int32_t LogMaxSize = 64;
  // Connections that hold no login slot: sending their record or a page
  // request, being sent a page, waiting for a slot or for a paced refusal.
  // At the limit a new connection takes the place of the oldest one still
  // sending its record from the address that has the most of those.
  std::int32_t MaxPendingRecords = 1024;
  // "No" (or empty): clear TCP only. "Optional": TLS and clear on the one
  // port, told apart by their first bytes. "Required": TLS only. The
  // files are PEM; the client CA, when set, makes a client certificate
  // that chains to it a condition of the handshake.
  std::string SockTLS = "No";
  std::string TLSCertificateFile;
  std::string TLSKeyFile;
  std::string TLSClientCAFile;
  // The addresses the instance listens on, IPv4 or IPv6, separated by
  // blanks or commas; empty: 0.0.0.0 and ::, each a socket of its own.
  std::string SockListenAddress;
  // The bits of an IPv6 client's address that make its source for the
  // bounds per source and the failure limits (1-128; below 1: the
  // default). IPv4 clients count per address.
  std::int32_t SourcePrefixIPv6 = 64;
  // Load balancers whose connections begin with a PROXY protocol header
  // (v1 or v2) naming the client: addresses or prefixes, separated by
  // blanks or commas; empty: none, and no header is ever believed.
  std::string ProxyProtocolFrom;
  // Who may see the status page: addresses or prefixes, separated by
  // blanks or commas; empty: everyone.
  std::string StatusPageFrom;
  // Variable name to value; names compare byte by byte, case-sensitively.
  std::map<std::string, std::string> Environment;
};
