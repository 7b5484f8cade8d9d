// The configuration check: what in an instance's Config values the daemon
// reads otherwise than written, replaces by a default, or cannot serve by.
// Shared by `vornd -check`, the daemon's start (a warning entry each), and
// -install and -modify (printed after writing, as advice).
#pragma once

#include <string>
#include <vector>

#include "daemon/service_config.h"

// One line a finding, each beginning with the value's name, e.g.
//   SockPort "8O61" is read as 8
//   LoginFailureLimt is not a setting vornd knows; did you mean LoginFailureLimit?
// First those of each value in the order the registry lists them, then
// those of the values taken together: ranges, words, address lists, the
// engine, TLS. Empty when there is nothing to say. An instance without a Config key, or a
// registry that cannot be read, gives one line that says so.
//
// At the daemon's start, `AtStart` leaves out the relay's account: the relay
// says that itself when it starts, and one warning is enough.
enum class ConfigCheckScope { Everything, AtStart };
std::vector<std::string> checkConfiguration(const std::string& serviceName,
                                            ConfigCheckScope scope = ConfigCheckScope::Everything);

// The parts, for the checks that need no registry.

// A value read as text by the daemon's own rules: the finding, or "".
std::string checkIntegerText(const std::string& name, const std::string& text);
std::string checkTruthText(const std::string& name, const std::string& text);
// A name the daemon passes over, with the nearest one it knows when there
// is one near enough; "" for a name it reads.
std::string checkValueName(const std::string& name);

// The findings about the settings as read, values and files alike.
std::vector<std::string> checkSettings(const CServiceConfig& config,
                                       ConfigCheckScope scope = ConfigCheckScope::Everything);
// Those about files (config_check_files.cpp): the engine's program, found
// as a launch finds it; with TLS on, the certificate, key and client CA as
// the relay loads them, and the relay's account.
void checkEngine(const CServiceConfig& config, std::vector<std::string>& findings);
void checkTls(const CServiceConfig& config, ConfigCheckScope scope,
              std::vector<std::string>& findings);
