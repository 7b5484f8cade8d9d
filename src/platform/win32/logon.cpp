#include "platform/logon.h"

#include <windows.h>

#include <string>

#include "platform/error.h"
#include "platform/win32/logon_win32.h"

namespace platform {

namespace {

BOOL logOn(const std::string& user, const std::string& password, HANDLE& handle) {
  return LogonUserA(user.c_str(), nullptr, password.c_str(), LOGON32_LOGON_INTERACTIVE,
                    LOGON32_PROVIDER_DEFAULT, &handle);
}

// A bounded logon: LogonUserA cannot be interrupted, so it runs on a thread
// of its own and the caller stops waiting for it. What the two share lives
// until the last of them lets go of it, and whichever of them comes second
// to the result decides: the caller takes the token, or the thread, left
// alone with it, closes it.
struct PendingLogon {
  enum : LONG { kRunning, kFinished, kAbandoned };

  PendingLogon(const std::string& user, const std::string& password)
      : user(user), password(password) {}
  ~PendingLogon() { SecureZeroMemory(&password[0], password.size()); }

  void release() {
    if (InterlockedDecrement(&references) == 0) delete this;
  }

  volatile LONG references = 2;
  volatile LONG state = kRunning;
  std::string user;
  std::string password;
  HANDLE token = nullptr;
  BOOL ok = FALSE;
  DWORD error = 0;
};

DWORD WINAPI runLogon(void* parameter) {
  auto* pending = static_cast<PendingLogon*>(parameter);
  pending->ok = logOn(pending->user, pending->password, pending->token);
  pending->error = pending->ok ? 0 : GetLastError();
  if (InterlockedCompareExchange(&pending->state, PendingLogon::kFinished,
                                 PendingLogon::kRunning) == PendingLogon::kAbandoned &&
      pending->ok) {
    CloseHandle(pending->token);
  }
  pending->release();
  return 0;
}

}  // namespace

bool logonUser(const std::string& user, const std::string& password, LogonToken& token,
               std::uint32_t timeoutMs, LogonPacing* pacing, const std::string&) {
  token = nullptr;
  // LogonUser paces its own failures: nothing more is asked of the caller.
  if (pacing != nullptr) *pacing = LogonPacing{};
  if (timeoutMs == kInfinite) {
    HANDLE handle = nullptr;
    if (!logOn(user, password, handle)) return false;
    token = reinterpret_cast<LogonToken>(handle);
    return true;
  }

  auto* pending = new PendingLogon(user, password);
  HANDLE thread = CreateThread(nullptr, 0, runLogon, pending, 0, nullptr);
  if (thread == nullptr) {
    const DWORD error = GetLastError();
    delete pending;
    SetLastError(error);
    return false;
  }
  const DWORD waited = WaitForSingleObject(thread, timeoutMs);
  const DWORD waitError = GetLastError();
  CloseHandle(thread);
  if (waited != WAIT_OBJECT_0) {
    // Abandoned, unless the thread got there first after all: then its
    // token is this side's to close.
    if (InterlockedCompareExchange(&pending->state, PendingLogon::kAbandoned,
                                   PendingLogon::kRunning) == PendingLogon::kFinished &&
        pending->ok) {
      CloseHandle(pending->token);
    }
    pending->release();
    SetLastError(waited == WAIT_TIMEOUT ? kErrorTimeout : waitError);
    return false;
  }
  const bool ok = pending->ok != FALSE;
  const DWORD error = pending->error;
  if (ok) token = reinterpret_cast<LogonToken>(pending->token);
  pending->release();
  if (!ok) SetLastError(error);
  return ok;
}

void closeLogonToken(LogonToken token) {
  if (token != nullptr) CloseHandle(win32::tokenHandle(token));
}

}  // namespace platform
