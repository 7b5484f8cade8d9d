// Window stations and desktops. POSIX has none: every call succeeds and
// changes nothing.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

struct WindowStationImpl;
using WindowStationHandle = WindowStationImpl*;
struct DesktopImpl;
using DesktopHandle = DesktopImpl*;

inline constexpr std::uint32_t kWinstaAllAccess = 0xF037F;
inline constexpr std::uint32_t kMaximumAllowed = 0x02000000;

// Null on failure, with the last error set.
WindowStationHandle createWindowStation(const std::string& name, std::uint32_t access);
bool setProcessWindowStation(WindowStationHandle station);
DesktopHandle createDesktop(const std::string& name, std::uint32_t access);

}  // namespace platform
