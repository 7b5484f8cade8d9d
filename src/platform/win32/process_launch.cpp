#include "platform/process_launch.h"

// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <windows.h>

#include <mutex>
#include <string>

#include "platform/win32/logon_win32.h"

namespace platform {

bool duplicateSocketHandle(SocketHandle socket, SocketHandle& duplicate) {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(socket), GetCurrentProcess(),
                       &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return false;
  }
  duplicate = reinterpret_cast<SocketHandle>(copy);
  return true;
}

bool setHandleInheritable(SocketHandle handle) {
  return SetHandleInformation(reinterpret_cast<HANDLE>(handle), HANDLE_FLAG_INHERIT,
                              HANDLE_FLAG_INHERIT) != FALSE;
}

bool closeSocketDuplicate(SocketHandle duplicate) {
  if (closesocket(static_cast<SOCKET>(duplicate)) == 0) return true;
  if (WSAGetLastError() != WSAENOTSOCK && WSAGetLastError() != WSANOTINITIALISED) return false;
  // A handle the socket layer does not know as its own (Wine keeps
  // duplicates out of its socket table) is still a handle.
  return CloseHandle(reinterpret_cast<HANDLE>(duplicate)) != FALSE;
}

namespace {

// Held from making the socket inheritable to taking that back, so that a
// launch on another thread cannot pass it to its own process.
std::mutex& inheritanceLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

bool launchProcess(const ProcessLaunch& launch) {
  if (launch.commandLine == nullptr || launch.environment == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  std::lock_guard<std::mutex> turn(inheritanceLock());
  HANDLE inherited = launch.inherited != kInvalidSocket ? reinterpret_cast<HANDLE>(launch.inherited)
                                                        : nullptr;
  // A refusal is not acted on: some providers refuse the change and the
  // socket is passed on all the same.
  if (inherited != nullptr) SetHandleInformation(inherited, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.lpDesktop = const_cast<char*>(launch.desktop);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process;
  ZeroMemory(&process, sizeof process);
  // The call may write into the command line it is given.
  std::string commandLine(launch.commandLine);
  void* environment = const_cast<char*>(launch.environment);

  BOOL started;
  if (launch.asUser) {
    HANDLE token = launch.token != nullptr ? win32::tokenHandle(launch.token)
                                           : INVALID_HANDLE_VALUE;
    started = CreateProcessAsUserA(token, nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                   environment, nullptr, &startup, &process);
  } else {
    started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, environment,
                             nullptr, &startup, &process);
  }
  const DWORD error = GetLastError();
  if (inherited != nullptr) SetHandleInformation(inherited, HANDLE_FLAG_INHERIT, 0);
  if (!started) {
    SetLastError(error);
    return false;
  }
  if (process.hProcess != nullptr && process.hProcess != INVALID_HANDLE_VALUE) {
    CloseHandle(process.hProcess);
  }
  if (process.hThread != nullptr && process.hThread != INVALID_HANDLE_VALUE) {
    CloseHandle(process.hThread);
  }
  return true;
}

}  // namespace platform
