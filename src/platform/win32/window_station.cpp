#include "platform/window_station.h"

#include <windows.h>

#include "platform/error.h"

namespace platform {

WindowStationHandle createWindowStation(const std::string& name, std::uint32_t access) {
  HWINSTA station = CreateWindowStationA(name.c_str(), 0, access, nullptr);
  return reinterpret_cast<WindowStationHandle>(station);
}

bool setProcessWindowStation(WindowStationHandle station) {
  // Wine refuses a null station without setting the last error.
  if (station == nullptr) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  return SetProcessWindowStation(reinterpret_cast<HWINSTA>(station)) != FALSE;
}

DesktopHandle createDesktop(const std::string& name, std::uint32_t access) {
  HDESK desktop = CreateDesktopA(name.c_str(), nullptr, nullptr, 0, access, nullptr);
  return reinterpret_cast<DesktopHandle>(desktop);
}

}  // namespace platform
