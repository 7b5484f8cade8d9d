#include "platform/logon.h"

#include <windows.h>

#include "platform/win32/logon_win32.h"

namespace platform {

bool logonUser(const std::string& user, const std::string& password, LogonToken& token,
               std::uint32_t) {
  HANDLE handle = nullptr;
  const BOOL ok = LogonUserA(user.c_str(), nullptr, password.c_str(), LOGON32_LOGON_INTERACTIVE,
                             LOGON32_PROVIDER_DEFAULT, &handle);
  token = ok ? reinterpret_cast<LogonToken>(handle) : nullptr;
  return ok != FALSE;
}

void closeLogonToken(LogonToken token) {
  if (token != nullptr) CloseHandle(win32::tokenHandle(token));
}

}  // namespace platform
