// CServiceConfig: every setting of one installed instance, plus the
// environment list it hands to its engines. Each field bears the name of
// the registry value that fills it.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "daemon/log_stream.h"

class CServiceConfig {
 public:
  // Fills the record from the instance's registry keys; missing keys and
  // values leave the defaults. Reports nothing.
  void Load(const std::string& serviceName);

  // The configuration dump: 30 lines, one a setting.
  LogStream& Dump(LogStream& log) const;

  // The registry's text conversions.
  static bool truthValue(const std::string& text);
  static std::int32_t integerValue(const std::string& text);

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
  // Connections between their accept and the end of their handling; at
  // the limit the rest wait in the listen backlog. Below 1: the default.
  std::int32_t MaxPendingLogins = 64;
  // Of those, from one IPv4 address; one more is closed at once.
  std::int32_t MaxPendingPerSource = 8;
  // Failed logon checks from one address within LoginFailurePenalty
  // seconds that block it, until LoginFailurePenalty seconds after its
  // last failure. 0: no limit; below 0, and a penalty below 1: the default.
  std::int32_t LoginFailureLimit = 10;
  std::int32_t LoginFailurePenalty = 60;
  // The most the log file may hold, in MB; below 1: the default.
  std::int32_t LogMaxSize = 64;
  // Variable name to value; names compare byte by byte, case-sensitively.
  std::map<std::string, std::string> Environment;
};
