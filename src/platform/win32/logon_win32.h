// A Windows logon token is the system's token handle itself.
#pragma once

#include <windows.h>

#include "platform/logon.h"

namespace platform::win32 {

inline HANDLE tokenHandle(LogonToken token) { return reinterpret_cast<HANDLE>(token); }

}  // namespace platform::win32
