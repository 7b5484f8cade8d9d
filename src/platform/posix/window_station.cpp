#include "platform/window_station.h"

namespace platform {

// Linux has no window stations or desktops; callers only need a handle
// that is not null.
struct WindowStationImpl {
  int unused = 0;
};
struct DesktopImpl {
  int unused = 0;
};

namespace {

WindowStationImpl g_windowStation;
DesktopImpl g_desktop;

}  // namespace

WindowStationHandle createWindowStation(const std::string& name, std::uint32_t access) {
  (void)name, (void)access;
  return &g_windowStation;
}

bool setProcessWindowStation(WindowStationHandle station) {
  (void)station;
  return true;
}

DesktopHandle createDesktop(const std::string& name, std::uint32_t access) {
  (void)name, (void)access;
  return &g_desktop;
}

}  // namespace platform
