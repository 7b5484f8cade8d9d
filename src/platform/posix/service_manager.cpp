// The administrator's side of the service manager on POSIX: services
// created, opened, started, controlled, queried and deleted through their
// registry records and their control sockets.
#include "platform/service_manager.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/posix/detached_service.h"
#include "platform/posix/service_control_channel.h"
#include "platform/posix/service_files.h"
#include "platform/posix/service_handles.h"
#include "platform/posix/service_records.h"
#include "platform/posix/state_root.h"
#include "platform/posix/systemd_units.h"
#include "platform/registry.h"

namespace platform {

struct ScHandleImpl {
  bool manager = false;
  std::string name;  // the service's name as recorded, for service handles
};

namespace {

using posix::fail;
using posix::failNull;
using posix::FileLock;
using posix::RegKey;
using posix::ServiceRecord;
using posix::findService;
using posix::forEachService;
using posix::kDeleteFlag;
using posix::kServiceDisabled;
using posix::readDword;
using posix::removeServiceKeys;
using posix::serviceKeyPath;
using posix::stoppedStatus;
using posix::validServiceName;
using posix::writeDword;
using posix::writeString;

enum class Reach { kAnswered, kStopped, kFailed };

constexpr ErrorCode kErrorProcessAborted = 1067;  // ERROR_PROCESS_ABORTED

// Why the last start of a unit failed, as systemd tells it.
thread_local std::string g_startFailure;

Reach queryStatus(const std::string& name, ServiceStatus& status);

// A service's keys go, and, where it is a unit, the unit: stopped (no
// restart is left due) and disabled.
void forgetService(const std::string& name) {
  if (posix::systemdManagesServices()) {
    posix::stopUnit(name);
    posix::disableUnit(name);
  }
  removeServiceKeys(name);
}

// A unit's start: the arguments left where its daemon finds them, then
// systemd asked, which returns once the daemon is ready or has failed.
bool startAsUnit(const ServiceRecord& record, const std::vector<std::string>& arguments) {
  std::vector<std::string> message{record.name};
  message.insert(message.end(), arguments.begin(), arguments.end());
  const std::string bytes = posix::encodeStartMessage(message);
  if (bytes.empty()) return fail(kErrorInvalidParameter);
  const std::string path = posix::startArgumentsPath(record.name);
  {
    posix::Fd file(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (file.get() < 0 ||
        write(file.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      unlink(path.c_str());
      return posix::failWithErrno();
    }
  }
  g_startFailure.clear();
  if (!posix::startUnit(record.name)) {
    unlink(path.c_str());
    return fail(kErrorServiceRequestTimeout);
  }
  // Started once its daemon answers on its control socket, as a detached
  // one is once its dispatcher runs; whether it listens is its status.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(posix::serviceStartTimeoutMs());
  while (std::chrono::steady_clock::now() < deadline) {
    ServiceStatus status;
    if (queryStatus(record.name, status) == Reach::kAnswered) return true;
    switch (posix::unitStartState(record.name, g_startFailure)) {
      case posix::UnitStart::kStarted: return true;
      case posix::UnitStart::kFailed:
        unlink(path.c_str());
        return fail(kErrorProcessAborted);
      case posix::UnitStart::kStarting: break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  unlink(path.c_str());
  return fail(kErrorServiceRequestTimeout);
}

// The status of a service as its process reports it; stopped when no
// process answers.
Reach queryStatus(const std::string& name, ServiceStatus& status) {
  posix::ControlReply reply;
  switch (posix::exchange(name, posix::makeRequest(posix::ControlOp::kQuery, 0), reply)) {
    case posix::ExchangeResult::kAnswered:
      if (reply.error == kErrorSuccess && reply.status.currentState != kServiceStopped) {
        status = reply.status;
        return Reach::kAnswered;
      }
      status = stoppedStatus();
      return Reach::kStopped;
    case posix::ExchangeResult::kNotRunning:
      status = stoppedStatus();
      return Reach::kStopped;
    case posix::ExchangeResult::kFailed:
      break;
  }
  return Reach::kFailed;
}

// A marked service goes once it stops; its dispatcher removes it, but a
// process that died cannot, so whoever finds it gone does. Asks nothing
// of the service: a hung one must not hang its finder.
void collectIfMarkedAndGone(const ServiceRecord& record) {
  if (record.marked && !posix::serviceProcessPresent(record.name)) {
    forgetService(record.name);
  }
}

bool isServiceHandle(ScHandle handle) { return handle != nullptr && !handle->manager; }


}  // namespace

ScHandle openSCManager(std::uint32_t access) {
  (void)access;
  if (!posix::ensureStateRoot()) return nullptr;
  auto* handle = new ScHandleImpl;
  handle->manager = true;
  return handle;
}

ScHandle createService(ScHandle manager, const std::string& serviceName,
                       const std::string& displayName, std::uint32_t access,
                       std::uint32_t serviceType, std::uint32_t startType,
                       std::uint32_t errorControl, const std::string& binaryPathName) {
  (void)access;
  if (manager == nullptr || !manager->manager) {
    return failNull<ScHandleImpl>(kErrorInvalidHandle);
  }
  if (!validServiceName(serviceName)) return failNull<ScHandleImpl>(123);  // ERROR_INVALID_NAME
  if (binaryPathName.empty() || startType > 4 || errorControl > 3) {
    return failNull<ScHandleImpl>(kErrorInvalidParameter);
  }
  const std::string shownName = displayName.empty() ? serviceName : displayName;

  // Two installs at once must not both pass the checks below.
  FileLock lock;
  if (!lock.acquire(posix::stateFile("run/services.lock"))) return nullptr;

  // A marked service whose process has gone leaves its name free.
  if (ServiceRecord old; findService(serviceName, old)) collectIfMarkedAndGone(old);

  ErrorCode conflict = kErrorSuccess;
  const ErrorCode walked = forEachService([&](const ServiceRecord& other) {
    if (strcasecmp(other.name.c_str(), serviceName.c_str()) == 0) {
      // As on Windows: a new service could not outlive the old one's keys.
      conflict = other.marked ? kErrorServiceMarkedForDelete : kErrorServiceExists;
      return false;
    }
    if (strcasecmp(other.displayName.c_str(), shownName.c_str()) == 0 ||
        strcasecmp(other.name.c_str(), shownName.c_str()) == 0 ||
        strcasecmp(other.displayName.c_str(), serviceName.c_str()) == 0) {
      conflict = kErrorDuplicateServiceName;
    }
    return true;
  });
  if (walked != kErrorSuccess) return failNull<ScHandleImpl>(walked);
  if (conflict != kErrorSuccess) return failNull<ScHandleImpl>(conflict);

  RegKey key;
  ErrorCode error = regCreateKey(localMachine(), serviceKeyPath(serviceName), key.out());
  if (error == kErrorSuccess) error = writeString(key.get(), "DisplayName", kRegSz, shownName);
  if (error == kErrorSuccess) error = writeDword(key.get(), "Start", startType);
  if (error == kErrorSuccess) error = writeDword(key.get(), "Type", serviceType);
  if (error == kErrorSuccess) error = writeDword(key.get(), "ErrorControl", errorControl);
  if (error == kErrorSuccess) error = writeString(key.get(), "ObjectName", kRegSz, "LocalSystem");
  if (error == kErrorSuccess) regDeleteValue(key.get(), kDeleteFlag);
  // Last: the key counts as a service from here on.
  if (error == kErrorSuccess) error = writeString(key.get(), "ImagePath", kRegExpandSz,
                                                  binaryPathName);
  if (error != kErrorSuccess) return failNull<ScHandleImpl>(error);
  // Where services are units, one that starts with the system is enabled.
  if (startType == kServiceAutoStart && posix::systemdManagesServices() &&
      !posix::enableUnit(serviceName)) {
    const ErrorCode enableError = lastError();
    removeServiceKeys(serviceName);
    return failNull<ScHandleImpl>(enableError);
  }

  // A key made earlier (by a Config writer) keeps the case it was made in.
  ServiceRecord record;
  auto* handle = new ScHandleImpl;
  handle->name = findService(serviceName, record) ? record.name : serviceName;
  return handle;
}

ScHandle openService(ScHandle manager, const std::string& serviceName, std::uint32_t access) {
  (void)access;
  if (manager == nullptr || !manager->manager) {
    return failNull<ScHandleImpl>(kErrorInvalidHandle);
  }
  ServiceRecord record;
  if (!findService(serviceName, record)) return nullptr;
  collectIfMarkedAndGone(record);
  if (record.marked && !findService(serviceName, record)) return nullptr;
  auto* handle = new ScHandleImpl;
  handle->name = record.name;
  return handle;
}

bool startService(ScHandle service, const std::vector<std::string>& arguments) {
  if (!isServiceHandle(service)) return fail(kErrorInvalidHandle);
  if (!posix::ensureStateRoot()) return false;
  // Held for the whole start, so two starts cannot both spawn.
  FileLock lock;
  if (!lock.acquire(posix::startLockPath(service->name))) return false;

  ServiceRecord record;
  if (!findService(service->name, record)) return false;
  if (record.marked) {
    collectIfMarkedAndGone(record);
    return fail(kErrorServiceMarkedForDelete);
  }
  if (record.startType == kServiceDisabled) return fail(1058);  // ERROR_SERVICE_DISABLED
  ServiceStatus status;
  switch (queryStatus(record.name, status)) {
    case Reach::kAnswered: return fail(kErrorServiceAlreadyRunning);
    case Reach::kFailed: return false;
    case Reach::kStopped: break;
  }
  if (posix::systemdManagesServices()) return startAsUnit(record, arguments);
  return posix::startDetachedService(record, arguments);
}

bool controlService(ScHandle service, std::uint32_t control, ServiceStatus& status) {
  if (!isServiceHandle(service)) return fail(kErrorInvalidHandle);
  // Shutdown comes from the system only; other codes below 128 that
  // Windows does not define are refused before anything is sent.
  if (control == 0 || control == kControlShutdown || (control > 10 && control < 128) ||
      control > 255) {
    return fail(kErrorInvalidParameter);
  }
  posix::ControlReply reply;
  switch (posix::exchange(service->name, posix::makeRequest(posix::ControlOp::kControl, control),
                          reply)) {
    case posix::ExchangeResult::kAnswered:
      status = reply.status;
      if (reply.error == kErrorServiceNotActive) status = stoppedStatus();
      if (reply.error != kErrorSuccess) return fail(reply.error);
      return true;
    case posix::ExchangeResult::kNotRunning:
      status = stoppedStatus();
      return fail(kErrorServiceNotActive);
    case posix::ExchangeResult::kFailed:
      break;
  }
  return false;
}

bool queryServiceStatus(ScHandle service, ServiceStatus& status) {
  if (!isServiceHandle(service)) return fail(kErrorInvalidHandle);
  ServiceStatus answer;
  Reach reach = queryStatus(service->name, answer);
  if (reach == Reach::kFailed) return false;
  if (reach == Reach::kStopped) {
    // No daemon answers: a unit may still be starting, or waiting to be
    // started again.
    if (posix::systemdManagesServices()) answer = posix::unitStatus(service->name);
    ServiceRecord record;
    if (answer.currentState == kServiceStopped && findService(service->name, record) &&
        record.marked) {
      forgetService(record.name);
    }
  }
  status = answer;
  return true;
}

bool deleteService(ScHandle service) {
  if (!isServiceHandle(service)) return fail(kErrorInvalidHandle);
  if (!posix::ensureStateRoot()) return false;
  // Not while a start is under way.
  FileLock lock;
  if (!lock.acquire(posix::startLockPath(service->name))) return false;

  ServiceRecord record;
  if (!findService(service->name, record)) {
    // Gone already: it was marked and has stopped since.
    if (lastError() == kErrorServiceDoesNotExist) return fail(kErrorServiceMarkedForDelete);
    return false;
  }
  if (record.marked) return fail(kErrorServiceMarkedForDelete);

  // As on Windows, deleting needs no answer from the service, which may
  // be hung: only whether its process is there.
  if (!posix::serviceProcessPresent(record.name)) {
    if (posix::systemdManagesServices()) {
      posix::stopUnit(record.name);
      posix::disableUnit(record.name);
    }
    ErrorCode error = regDeleteTree(localMachine(), serviceKeyPath(record.name));
    return error == kErrorSuccess || fail(error);
  }
  RegKey key;
  ErrorCode error = regOpenKey(localMachine(), serviceKeyPath(record.name), kKeyAllAccess,
                               key.out());
  if (error == kErrorSuccess) error = writeDword(key.get(), kDeleteFlag, 1);
  if (error != kErrorSuccess) return fail(error);
  // It may have stopped between the look and the mark, after its
  // dispatcher looked for the mark.
  if (!posix::serviceProcessPresent(record.name)) forgetService(record.name);
  return true;
}

std::string serviceStartFailureDetail() { return g_startFailure; }

bool closeServiceHandle(ScHandle handle) {
  if (handle == nullptr) return fail(kErrorInvalidHandle);
  delete handle;
  return true;
}


}  // namespace platform
