// -status, -start, -stop, -restart and -remove: one named service, or every
// instance in the list of installed ones.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>
#include <vector>

#include "admin/report_error.h"
#include "admin/service_admin.h"
#include "daemon/registry_access.h"
#include "platform/service_manager.h"

namespace {

constexpr std::uint32_t kScManagerConnect = 0x0001;
constexpr std::uint32_t kServiceQueryStatus = 0x0004;
constexpr std::uint32_t kServiceStart = 0x0010;
constexpr std::uint32_t kServiceStop = 0x0020;
constexpr std::uint32_t kDelete = 0x00010000;

// A restart waits this long at most for each service to stop.
constexpr auto kStopWait = std::chrono::seconds(30);

const char* stateWord(std::uint32_t state) {
  switch (state) {
    case platform::kServiceStopped: return "stopped";
    case platform::kServiceStartPending: return "starting";
    case platform::kServiceStopPending: return "stopping";
    case platform::kServiceRunning: return "running";
    case platform::kServiceContinuePending: return "continuing";
    case platform::kServicePausePending: return "pausing";
    case platform::kServicePaused: return "paused";
    default: return "status unknown";
  }
}

}  // namespace

std::vector<CServiceAdmin::ListedService> CServiceAdmin::installedServices() {
  std::vector<ListedService> services;
  RegKey list(platform::localMachine(), kServiceListKey);
  // A list that is not there is empty; one that cannot be read is not.
  if (list.openError() == platform::kErrorRegistryCorrupt) {
    report("RegOpenKeyEx", list.openError());
    return services;
  }
  for (RegValue value : RegValueSequence(list)) services.push_back({value.Name(), value.Text()});
  return services;
}

std::vector<std::string> CServiceAdmin::targets(int argc, char** argv) {
  std::vector<std::string> names;
  if (argc == 3) {
    names.push_back(argv[2]);
  } else {
    for (const ListedService& service : installedServices()) names.push_back(service.name);
  }
  return names;
}

// Once the registry is known to be damaged, every further service would
// only report the same damage again.
void CServiceAdmin::start(int argc, char** argv) {
  if (m_registryDamaged) return;
  for (const std::string& name : targets(argc, argv)) {
    startOne(std::cout, name);
    if (m_registryDamaged) return;
  }
}

void CServiceAdmin::stop(int argc, char** argv) {
  if (m_registryDamaged) return;
  for (const std::string& name : targets(argc, argv)) {
    stopOne(std::cout, name);
    if (m_registryDamaged) return;
  }
}

void CServiceAdmin::startOne(std::ostream& out, const std::string& name) {
  out << "Service: " << name << " " << std::flush;
  platform::ScHandle manager = platform::openSCManager(kScManagerConnect);
  if (manager == nullptr) {
    report("OpenSCManager", platform::lastError());
    return;
  }
  platform::ScHandle service = platform::openService(manager, name, kServiceStart);
  if (service == nullptr) {
    report("OpenService", platform::lastError());
    platform::closeServiceHandle(manager);
    return;
  }
  const bool started = platform::startService(service, {"-runservice"});
  if (!started) {
    report("StartService", platform::lastError());
    if (const std::string detail = platform::serviceStartFailureDetail(); !detail.empty()) {
      std::printf("%s\n", detail.c_str());
    }
  }
  out << "start requested" << std::endl;
  platform::closeServiceHandle(service);
  platform::closeServiceHandle(manager);
  if (started) awaitListening(name);
}

void CServiceAdmin::stopOne(std::ostream& out, const std::string& name) {
  out << "Service: " << name << " " << std::flush;
  platform::ScHandle manager = platform::openSCManager(kScManagerConnect);
  if (manager == nullptr) {
    report("OpenSCManager", platform::lastError());
    return;
  }
  platform::ScHandle service = platform::openService(manager, name, kServiceStop);
  if (service == nullptr) {
    report("OpenService", platform::lastError());
    platform::closeServiceHandle(manager);
    return;
  }
  // A service that is not running is as stopped as it can be.
  platform::ServiceStatus status;
  platform::controlService(service, platform::kControlStop, status);
  out << "stop requested" << std::endl;
  platform::closeServiceHandle(service);
  platform::closeServiceHandle(manager);
}

void CServiceAdmin::waitUntilStopped(int argc, char** argv) {
  if (m_registryDamaged) return;
  platform::ScHandle manager = platform::openSCManager(kScManagerConnect);
  if (manager == nullptr) return;  // the start reports it
  for (const std::string& name : targets(argc, argv)) {
    platform::ScHandle service = platform::openService(manager, name, kServiceQueryStatus);
    if (service == nullptr) continue;
    const auto deadline = std::chrono::steady_clock::now() + kStopWait;
    platform::ServiceStatus status;
    while (platform::queryServiceStatus(service, status) &&
           status.currentState != platform::kServiceStopped &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    platform::closeServiceHandle(service);
  }
  platform::closeServiceHandle(manager);
}

void CServiceAdmin::status(int, char**) {
  for (const ListedService& service : installedServices()) {
    if (m_registryDamaged) return;
    std::cout << "Service Name: " << service.name << "\n"
              << "Display Name: " << service.displayName << "\n"
              << "Status:       " << std::flush;
    showStatus(std::cout, service.name);
    std::cout << "\n\n" << std::flush;
  }
}

void CServiceAdmin::showStatus(std::ostream& out, const std::string& name) {
  platform::ScHandle manager = platform::openSCManager(kScManagerConnect);
  if (manager == nullptr) {
    report("OpenSCManager", platform::lastError());
    return;
  }
  platform::ScHandle service = platform::openService(manager, name, kServiceQueryStatus);
  if (service == nullptr) {
    report("OpenService", platform::lastError());
  } else {
    platform::ServiceStatus status;
    if (platform::queryServiceStatus(service, status)) {
      out << stateWord(status.currentState) << std::flush;
    } else {
      report("QueryServiceStatus", platform::lastError());
    }
    platform::closeServiceHandle(service);
  }
  platform::closeServiceHandle(manager);
}

void CServiceAdmin::remove(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word.compare(0, 6, "-name=") == 0) m_serviceName = word.substr(word.find('=') + 1);
  }
  if (m_serviceName.empty()) {
    refuse("You must provide a service name (-name=service_name)\n");
    return;
  }
  removeService(true);
}

void CServiceAdmin::removeService(bool stopFirst) {
  platform::ScHandle manager = platform::openSCManager(kScManagerConnect);
  if (manager == nullptr) {
    report("OpenSCManager", platform::lastError());
    return;
  }
  platform::ScHandle service = platform::openService(manager, m_serviceName, kDelete | kServiceStop);
  if (service == nullptr) {
    report("OpenService", platform::lastError());
    platform::closeServiceHandle(manager);
    return;
  }
  if (stopFirst) {
    platform::ServiceStatus status;
    platform::controlService(service, platform::kControlStop, status);
    std::printf("%s stopped\n", m_serviceName.c_str());
  }
  if (platform::deleteService(service)) {
    std::printf("%s removed\n", m_serviceName.c_str());
  } else {
    report("DeleteService", platform::lastError());
  }
  removeFromServiceList();
  platform::closeServiceHandle(service);
  platform::closeServiceHandle(manager);
}

void CServiceAdmin::removeFromServiceList() {
  platform::RegKeyHandle key = createKey(kServiceListKey);
  if (key == nullptr) return;
  const platform::ErrorCode deleted = platform::regDeleteValue(key, m_serviceName);
  if (deleted != platform::kErrorSuccess) report("RegDeleteValue", deleted);
  platform::regCloseKey(key);
}
