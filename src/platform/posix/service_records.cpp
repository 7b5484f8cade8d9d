#include "platform/posix/service_records.h"

#include <strings.h>

#include "platform/posix/service_files.h"
#include "platform/posix/service_handles.h"

namespace platform::posix {

bool fail(ErrorCode code) {
  setLastError(code);
  return false;
}

ServiceStatus stoppedStatus() {
  ServiceStatus status;
  status.serviceType = kServiceWin32OwnProcess;
  status.currentState = kServiceStopped;
  return status;
}

std::string serviceKeyPath(const std::string& name) {
  return std::string(kServicesKey) + "\\" + name;
}

bool readString(RegKeyHandle key, const char* name, std::string& text) {
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  if (regQueryValue(key, name, &type, nullptr, &size) != kErrorSuccess) return false;
  if (type != kRegSz && type != kRegExpandSz) return false;
  std::string data(size, '\0');
  if (size > 0 && regQueryValue(key, name, &type, data.data(), &size) != kErrorSuccess) {
    return false;
  }
  data.resize(size);
  while (!data.empty() && data.back() == '\0') data.pop_back();
  text = data;
  return true;
}

bool readDword(RegKeyHandle key, const char* name, std::uint32_t& value) {
  std::uint32_t type = 0;
  std::uint32_t size = sizeof value;
  return regQueryValue(key, name, &type, &value, &size) == kErrorSuccess && type == kRegDword &&
         size == sizeof value;
}

ErrorCode writeString(RegKeyHandle key, const char* name, std::uint32_t type,
                      const std::string& text) {
  // As Windows callers do: the size counts the terminating zero.
  return regSetValue(key, name, type, text.c_str(), static_cast<std::uint32_t>(text.size() + 1));
}

ErrorCode writeDword(RegKeyHandle key, const char* name, std::uint32_t value) {
  return regSetValue(key, name, kRegDword, &value, sizeof value);
}

namespace {

bool readRecord(RegKeyHandle key, const std::string& name, ServiceRecord& record) {
  if (!readString(key, "ImagePath", record.imagePath)) return false;
  record.name = name;
  if (!readString(key, "DisplayName", record.displayName)) record.displayName = name;
  readDword(key, "Start", record.startType);
  std::uint32_t flag = 0;
  record.marked = readDword(key, kDeleteFlag, flag) && flag != 0;
  return true;
}

}  // namespace

ErrorCode forEachService(const std::function<bool(const ServiceRecord&)>& visit) {
  RegKey services;
  ErrorCode error = regOpenKey(localMachine(), kServicesKey, kKeyRead, services.out());
  if (error != kErrorSuccess) return error == kErrorRegistryCorrupt ? error : kErrorSuccess;
  std::string name;
  std::uint32_t index = 0;
  for (; (error = regEnumKey(services.get(), index, name)) == kErrorSuccess; ++index) {
    RegKey key;
    error = regOpenKey(services.get(), name, kKeyRead, key.out());
    if (error == kErrorRegistryCorrupt) return error;
    if (error != kErrorSuccess) continue;
    ServiceRecord record;
    if (readRecord(key.get(), name, record) && !visit(record)) return kErrorSuccess;
  }
  return error == kErrorRegistryCorrupt ? error : kErrorSuccess;
}

bool findService(const std::string& name, ServiceRecord& record) {
  bool found = false;
  const ErrorCode error = forEachService([&](const ServiceRecord& candidate) {
    if (strcasecmp(candidate.name.c_str(), name.c_str()) != 0) return true;
    record = candidate;
    found = true;
    return false;
  });
  if (!found) setLastError(error != kErrorSuccess ? error : kErrorServiceDoesNotExist);
  return found;
}

void removeServiceKeys(const std::string& name) {
  regDeleteTree(localMachine(), serviceKeyPath(name));
}

bool validServiceName(const std::string& name) {
  // Slashes would also lead out of run/ and log/.
  return !name.empty() && name.find_first_of("/\\") == std::string::npos &&
         posix::serviceFilesCanBeNamed(name);
}


bool markedForDelete(const std::string& name) {
  RegKey key;
  std::uint32_t flag = 0;
  return regOpenKey(localMachine(), serviceKeyPath(name), kKeyRead, key.out()) == kErrorSuccess &&
         readDword(key.get(), kDeleteFlag, flag) && flag != 0;
}

}  // namespace platform::posix
