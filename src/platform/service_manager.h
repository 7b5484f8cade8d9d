// The service manager, both sides.
//
// Service side: the dispatcher, control handler registration and status
// reports. Admin side: create, open, start, control, query, delete.
// Windows calls the real Service Control Manager; the POSIX implementation
// is our own manager, described in the README: services recorded in the
// registry under SYSTEM\CurrentControlSet\Services\<name>, a started service
// running as a detached process that answers on $VORND_ROOT/run/<name>.ctl.
// Codes and states as on Windows in both.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Service states.
inline constexpr std::uint32_t kServiceStopped = 1;
inline constexpr std::uint32_t kServiceStartPending = 2;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceRunning = 4;
inline constexpr std::uint32_t kServiceContinuePending = 5;
inline constexpr std::uint32_t kServicePausePending = 6;
inline constexpr std::uint32_t kServicePaused = 7;

// Controls.
inline constexpr std::uint32_t kControlStop = 1;
inline constexpr std::uint32_t kControlPause = 2;
inline constexpr std::uint32_t kControlContinue = 3;
inline constexpr std::uint32_t kControlInterrogate = 4;
inline constexpr std::uint32_t kControlShutdown = 5;

// Controls-accepted bits.
inline constexpr std::uint32_t kAcceptStop = 1;
inline constexpr std::uint32_t kAcceptPauseContinue = 2;
inline constexpr std::uint32_t kAcceptShutdown = 4;

// Service types and start types.
inline constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr std::uint32_t kServiceAutoStart = 2;
inline constexpr std::uint32_t kServiceDemandStart = 3;
inline constexpr std::uint32_t kServiceErrorNormal = 1;

// Access rights (passed through on Windows; the POSIX manager does not
// check them).
inline constexpr std::uint32_t kScManagerAllAccess = 0xF003F;
inline constexpr std::uint32_t kServiceAllAccess = 0xF01FF;

struct ServiceStatus {
  std::uint32_t serviceType = 0;
  std::uint32_t currentState = 0;
  std::uint32_t controlsAccepted = 0;
  std::uint32_t win32ExitCode = 0;
  std::uint32_t serviceSpecificExitCode = 0;
  std::uint32_t checkPoint = 0;
  std::uint32_t waitHint = 0;
};

// ---- Service side -------------------------------------------------------

using ServiceMainProc = void (*)(std::uint32_t argc, char** argv);
using ControlHandlerProc = void (*)(std::uint32_t control);

struct ServiceTableEntry {
  const char* serviceName;  // null ends the table
  ServiceMainProc serviceMain;
};

// Connects to the service manager and runs the service main function on a
// thread of its own, handling controls on the calling thread. Returns when
// the service has reported itself stopped. Fails at once, with error 1063,
// when the process was not started by the service manager.
bool startServiceCtrlDispatcher(const ServiceTableEntry* table);

struct ServiceStatusHandleImpl;
using ServiceStatusHandle = ServiceStatusHandleImpl*;

// Null on failure, with the last error set (outside a dispatcher, 1063).
ServiceStatusHandle registerServiceCtrlHandler(const std::string& serviceName,
                                               ControlHandlerProc handler);

// Fails with 6 (invalid handle) for a null handle.
bool setServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status);

// What the service waits for, in a few words, where the system's manager
// shows such a line (systemd's unit status); empty goes back to the
// state's own word. Where there is no such line it does nothing.
void setServiceStatusText(ServiceStatusHandle handle, const std::string& text);

// ---- Admin side ---------------------------------------------------------

struct ScHandleImpl;
using ScHandle = ScHandleImpl*;

// Each returns null or false on failure with the last error set.
ScHandle openSCManager(std::uint32_t access);
ScHandle createService(ScHandle manager, const std::string& serviceName,
                       const std::string& displayName, std::uint32_t access,
                       std::uint32_t serviceType, std::uint32_t startType,
                       std::uint32_t errorControl, const std::string& binaryPathName);
ScHandle openService(ScHandle manager, const std::string& serviceName, std::uint32_t access);
bool startService(ScHandle service, const std::vector<std::string>& arguments);
bool controlService(ScHandle service, std::uint32_t control, ServiceStatus& status);
bool queryServiceStatus(ScHandle service, ServiceStatus& status);
bool deleteService(ScHandle service);
// After a start that failed on this thread: what the system's manager
// knows of why beyond the error code (a unit's result and its last journal
// lines); empty when it knows nothing more.
std::string serviceStartFailureDetail();
bool closeServiceHandle(ScHandle handle);

}  // namespace platform
