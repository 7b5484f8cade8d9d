// The systemd side of the service manager. Where systemd runs the machine
// (and the template unit vornd@.service is installed, and the state root
// is the machine's own), each service is the unit vornd@<name>.service:
// enabled when it starts automatically, started and stopped by systemd,
// its daemon the unit's main process. Controls and status still travel
// over the service's control socket; the unit's state answers only when
// no daemon does.
//
// Everywhere else (containers, CI, a chroot, a private state root) the
// services run as detached processes (detached_service.h).
#pragma once

#include <string>

#include "platform/service_manager.h"

namespace platform::posix {

// Whether services are systemd units here. VORND_SERVICE_MANAGER=detached
// in the environment says no whatever the machine.
bool systemdManagesServices();

// A name escaped as systemd-escape does for a unit's instance string.
std::string systemdEscape(const std::string& text);
// "vornd@<escaped name>.service".
std::string unitName(const std::string& serviceName);

// systemctl on the service's unit; false with 1063 when systemctl could
// not be run or failed.
bool enableUnit(const std::string& serviceName);
bool disableUnit(const std::string& serviceName);
// Asks systemd for the start, after clearing what is left of an earlier
// failure (the start limit's count among it), and returns at once.
bool startUnit(const std::string& serviceName);
// How a start asked for goes: on its way, active, or failed (and then,
// in `cause`, the unit's result and its last journal lines).
enum class UnitStart { kStarting, kStarted, kFailed };
UnitStart unitStartState(const std::string& serviceName, std::string& cause);
// Also cancels a restart that is due.
bool stopUnit(const std::string& serviceName);

// The service's status as the unit's state gives it: start pending while
// it is being started (or waits to be started again after a failure),
// running while active, stop pending while it stops, stopped otherwise.
ServiceStatus unitStatus(const std::string& serviceName);

// The daemon's side, for a service that runs as a unit.
//
// The service's name when this process is a unit's daemon; empty else.
std::string unitServiceName();
// Where the start arguments wait for the unit's daemon: run/<name>.start.
std::string startArgumentsPath(const std::string& serviceName);
// Tells systemd of a status report: READY=1 on the first running,
// STOPPING=1 on stop pending, STATUS= the text or else the state's word on
// every one. A start pending one extends systemd's start time-out by its
// wait hint: a daemon that reports progress is not killed for being slow.
void notifyStatus(const ServiceStatus& status, const std::string& text);
// READY=1 alone, for a daemon that stops before it was ready.
void notifyReadyToStop();

}  // namespace platform::posix
