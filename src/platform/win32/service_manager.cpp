#include "platform/service_manager.h"

#include <windows.h>

#include <atomic>

#include "platform/error.h"
#include "platform/tap.h"

namespace platform {

namespace {

// The system calls its service main and control handler with the WINAPI
// convention and its own types; ours are plain functions. An own-process
// service has exactly one service, so one stored procedure of each kind
// is enough for the trampolines to forward to.
std::atomic<ServiceMainProc> g_serviceMain{nullptr};
std::atomic<ControlHandlerProc> g_controlHandler{nullptr};
// Set once the system has called a service main in this process: only then
// can a control handler be registered.
std::atomic<bool> g_inDispatcher{false};

void WINAPI serviceMainTrampoline(DWORD argc, LPSTR* argv) {
  g_inDispatcher = true;
  if (ServiceMainProc proc = g_serviceMain.load()) proc(argc, argv);
}

void WINAPI controlHandlerTrampoline(DWORD control) {
  if (ControlHandlerProc proc = g_controlHandler.load()) proc(control);
}

SC_HANDLE toScHandle(ScHandle handle) { return reinterpret_cast<SC_HANDLE>(handle); }

void copyStatus(const SERVICE_STATUS& from, ServiceStatus& to) {
  to.serviceType = from.dwServiceType;
  to.currentState = from.dwCurrentState;
  to.controlsAccepted = from.dwControlsAccepted;
  to.win32ExitCode = from.dwWin32ExitCode;
  to.serviceSpecificExitCode = from.dwServiceSpecificExitCode;
  to.checkPoint = from.dwCheckPoint;
  to.waitHint = from.dwWaitHint;
}

}  // namespace

// ---- Service side -------------------------------------------------------

bool startServiceCtrlDispatcher(const ServiceTableEntry* table) {
  if (table == nullptr || table[0].serviceName == nullptr || table[0].serviceMain == nullptr ||
      table[1].serviceName != nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  g_serviceMain = table[0].serviceMain;
  SERVICE_TABLE_ENTRYA systemTable[] = {
      {const_cast<char*>(table[0].serviceName), serviceMainTrampoline},
      {nullptr, nullptr},
  };
  return StartServiceCtrlDispatcherA(systemTable) != FALSE;
}

ServiceStatusHandle registerServiceCtrlHandler(const std::string& serviceName,
                                               ControlHandlerProc handler) {
  // Outside a dispatcher the system's code varies (Wine gives 1060 as for
  // an unknown name); give the one the dispatcher itself gives.
  if (!g_inDispatcher) {
    SetLastError(kErrorFailedServiceControllerConnect);
    return nullptr;
  }
  g_controlHandler = handler;
  SERVICE_STATUS_HANDLE handle =
      RegisterServiceCtrlHandlerA(serviceName.c_str(), controlHandlerTrampoline);
  return reinterpret_cast<ServiceStatusHandle>(handle);
}

bool setServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  if (Tap* t = currentTap()) t->onServiceStatus(status);
  // The system does not check for a null handle on every version.
  if (handle == nullptr) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  SERVICE_STATUS systemStatus{};
  systemStatus.dwServiceType = status.serviceType;
  systemStatus.dwCurrentState = status.currentState;
  systemStatus.dwControlsAccepted = status.controlsAccepted;
  systemStatus.dwWin32ExitCode = status.win32ExitCode;
  systemStatus.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
  systemStatus.dwCheckPoint = status.checkPoint;
  systemStatus.dwWaitHint = status.waitHint;
  return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &systemStatus) != FALSE;
}

// The service manager shows the state alone; the event log has the cause.
void setServiceStatusText(ServiceStatusHandle, const std::string&) {}

// ---- Admin side ---------------------------------------------------------

ScHandle openSCManager(std::uint32_t access) {
  return reinterpret_cast<ScHandle>(OpenSCManagerA(nullptr, nullptr, access));
}

ScHandle createService(ScHandle manager, const std::string& serviceName,
                       const std::string& displayName, std::uint32_t access,
                       std::uint32_t serviceType, std::uint32_t startType,
                       std::uint32_t errorControl, const std::string& binaryPathName) {
  SC_HANDLE service = CreateServiceA(toScHandle(manager), serviceName.c_str(), displayName.c_str(),
                                     access, serviceType, startType, errorControl,
                                     binaryPathName.c_str(), nullptr, nullptr, nullptr, nullptr,
                                     nullptr);
  return reinterpret_cast<ScHandle>(service);
}

ScHandle openService(ScHandle manager, const std::string& serviceName, std::uint32_t access) {
  return reinterpret_cast<ScHandle>(OpenServiceA(toScHandle(manager), serviceName.c_str(), access));
}

bool startService(ScHandle service, const std::vector<std::string>& arguments) {
  std::vector<const char*> vector;
  vector.reserve(arguments.size());
  for (const std::string& argument : arguments) vector.push_back(argument.c_str());
  return StartServiceA(toScHandle(service), static_cast<DWORD>(vector.size()),
                       vector.empty() ? nullptr : vector.data()) != FALSE;
}

bool controlService(ScHandle service, std::uint32_t control, ServiceStatus& status) {
  SERVICE_STATUS systemStatus{};
  BOOL ok = ControlService(toScHandle(service), control, &systemStatus);
  // Some failures (control not accepted, service not active) still report
  // the current status.
  copyStatus(systemStatus, status);
  return ok != FALSE;
}

bool queryServiceStatus(ScHandle service, ServiceStatus& status) {
  SERVICE_STATUS systemStatus{};
  if (!QueryServiceStatus(toScHandle(service), &systemStatus)) return false;
  copyStatus(systemStatus, status);
  return true;
}

bool deleteService(ScHandle service) { return DeleteService(toScHandle(service)) != FALSE; }

// The event log holds the service's own account of a failed start.
std::string serviceStartFailureDetail() { return std::string(); }

bool closeServiceHandle(ScHandle handle) {
  return CloseServiceHandle(toScHandle(handle)) != FALSE;
}

}  // namespace platform
