// The services as the registry records them, under
// HKLM\SYSTEM\CurrentControlSet\Services: a key is a service once it has
// an image path (Config and Environment keys may be written before the
// service is created, and the image path is written last).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/error.h"
#include "platform/registry.h"
#include "platform/service_manager.h"

namespace platform::posix {

inline constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services";
inline constexpr const char* kDeleteFlag = "DeleteFlag";
inline constexpr std::uint32_t kServiceDisabled = 4;

struct ServiceRecord {
  std::string name;  // as recorded
  std::string displayName;
  std::string imagePath;
  std::uint32_t startType = kServiceDemandStart;
  bool marked = false;
};

// Sets the last error and gives false (or null).
bool fail(ErrorCode code);
template <typename T>
T* failNull(ErrorCode code) {
  setLastError(code);
  return nullptr;
}

// The status of a service with no process.
ServiceStatus stoppedStatus();

std::string serviceKeyPath(const std::string& name);
bool readString(RegKeyHandle key, const char* name, std::string& text);
bool readDword(RegKeyHandle key, const char* name, std::uint32_t& value);
ErrorCode writeString(RegKeyHandle key, const char* name, std::uint32_t type,
                      const std::string& text);
ErrorCode writeDword(RegKeyHandle key, const char* name, std::uint32_t value);

// Visits every service; stops early when visit returns false. A registry
// that cannot be read (1009 for a damaged file) is no empty one: the error
// is returned.
ErrorCode forEachService(const std::function<bool(const ServiceRecord&)>& visit);
// Finds a service by its name, in any letter case; the record carries the
// name as recorded, which names its files under run/ and log/. When false,
// the last error says why: 1060, or why the records cannot be read.
bool findService(const std::string& name, ServiceRecord& record);
// Whether the service's key carries the delete mark now.
bool markedForDelete(const std::string& name);
void removeServiceKeys(const std::string& name);
// Every name accepted here must be servable: its files named after it
// must fit, which also keeps it within the 256 characters Windows allows.
bool validServiceName(const std::string& name);

}  // namespace platform::posix
