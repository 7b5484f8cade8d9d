#include "platform/process_launch.h"

// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/command_line.h"
#include "platform/win32/logon_win32.h"

namespace platform {

bool duplicateSocketHandle(SocketHandle socket, SocketHandle& duplicate) {
  HANDLE copy = nullptr;
  // Inheritable from the start, so the launch need not ask the socket's
  // provider for the flag; only the launch whose handle list names it
  // passes it on.
  if (!DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(socket), GetCurrentProcess(),
                       &copy, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
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

// Which handles a new process inherits is named in a handle list, never
// left to what happens to be inheritable: a client's socket whose flag
// the provider would not clear, or one accepted a moment before, stays
// out of every other client's engine, and launches from several threads
// need not take turns. The list exists from Vista on; the oldest system
// this is built for is Windows 7 (_WIN32_WINNT), so it holds on all of
// them and no launch lock is needed in its place.
class InheritedHandles {
 public:
  InheritedHandles() = default;
  InheritedHandles(const InheritedHandles&) = delete;
  InheritedHandles& operator=(const InheritedHandles&) = delete;
  ~InheritedHandles() {
    for (HANDLE made : m_made) CloseHandle(made);
    if (m_madeInheritable != nullptr) {
      SetHandleInformation(m_madeInheritable, HANDLE_FLAG_INHERIT, 0);
    }
  }

  // The socket goes as it is, its number being on the command line: made
  // inheritable for the call when it is not yet (the flag is taken back
  // afterwards). False with the last error set when it cannot be.
  bool addSocket(HANDLE socket) {
    DWORD flags = 0;
    if (!GetHandleInformation(socket, &flags)) return false;
    if ((flags & HANDLE_FLAG_INHERIT) == 0) {
      if (!SetHandleInformation(socket, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) return false;
      m_madeInheritable = socket;
    }
    list(socket);
    return true;
  }

  // A standard handle as the process gets it: itself when inheritable, or
  // an inheritable duplicate that lives until the launch is over (only an
  // inheritable handle may stand in the list). None stays none, and a
  // console pseudo-handle of Windows 7 stays out of the list, which would
  // refuse it: the process reaches it through the console it shares.
  HANDLE addStandard(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return handle;
    if ((reinterpret_cast<ULONG_PTR>(handle) & 3) == 3 && GetFileType(handle) == FILE_TYPE_CHAR) {
      return handle;
    }
    for (std::size_t i = 0; i < m_standard.size(); ++i) {
      if (m_standard[i].first == handle) return m_standard[i].second;
    }
    HANDLE given = handle;
    DWORD flags = 0;
    if (!GetHandleInformation(handle, &flags) || (flags & HANDLE_FLAG_INHERIT) == 0) {
      HANDLE copy = nullptr;
      // A handle that cannot be passed on is not passed on.
      if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE,
                           DUPLICATE_SAME_ACCESS)) {
        return nullptr;
      }
      m_made.push_back(copy);
      given = copy;
    }
    m_standard.emplace_back(handle, given);
    list(given);
    return given;
  }

  bool empty() const { return m_list.empty(); }
  HANDLE* data() { return m_list.data(); }
  SIZE_T bytes() const { return m_list.size() * sizeof(HANDLE); }

 private:
  // Each handle once: the call refuses a list that names one twice.
  void list(HANDLE handle) {
    for (HANDLE listed : m_list) {
      if (listed == handle) return;
    }
    m_list.push_back(handle);
  }

  std::vector<HANDLE> m_list;
  std::vector<HANDLE> m_made;
  // The daemon's standard handle and what the process gets for it.
  std::vector<std::pair<HANDLE, HANDLE>> m_standard;
  HANDLE m_madeInheritable = nullptr;
};

// The start-up record's attribute list, holding the handle list.
class AttributeList {
 public:
  AttributeList() = default;
  AttributeList(const AttributeList&) = delete;
  AttributeList& operator=(const AttributeList&) = delete;
  ~AttributeList() {
    if (m_ready) DeleteProcThreadAttributeList(list());
  }

  // False with the last error set. The handles must stay where they are
  // until the process call returns.
  bool hold(InheritedHandles& handles) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    if (size == 0) return false;
    m_storage.assign(size, 0);
    if (!InitializeProcThreadAttributeList(list(), 1, 0, &size)) return false;
    m_ready = true;
    return UpdateProcThreadAttribute(list(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                     handles.bytes(), nullptr, nullptr) != FALSE;
  }

  LPPROC_THREAD_ATTRIBUTE_LIST list() {
    return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(m_storage.data());
  }

 private:
  std::vector<unsigned char> m_storage;
  bool m_ready = false;
};

// The error of a failure in `error`: the clean-up after it would
// overwrite the last error.
bool createProcess(const ProcessLaunch& launch, DWORD& error) {
  auto fail = [&error] {
    error = GetLastError();
    return false;
  };
  InheritedHandles handles;
  if (launch.inherited != kInvalidSocket &&
      !handles.addSocket(reinterpret_cast<HANDLE>(launch.inherited))) {
    return fail();
  }
  STARTUPINFOEXA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.lpDesktop = const_cast<char*>(launch.desktop);
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = handles.addStandard(GetStdHandle(STD_INPUT_HANDLE));
  startup.StartupInfo.hStdOutput = handles.addStandard(GetStdHandle(STD_OUTPUT_HANDLE));
  startup.StartupInfo.hStdError = handles.addStandard(GetStdHandle(STD_ERROR_HANDLE));
  AttributeList attributes;
  DWORD creationFlags = 0;
  if (!handles.empty()) {
    if (!attributes.hold(handles)) return fail();
    startup.lpAttributeList = attributes.list();
    creationFlags = EXTENDED_STARTUPINFO_PRESENT;
  }
  // Without a list nothing is inherited at all.
  const BOOL inherit = handles.empty() ? FALSE : TRUE;
  PROCESS_INFORMATION process;
  ZeroMemory(&process, sizeof process);
  // The call may write into the command line it is given.
  std::string commandLine(launch.commandLine);
  void* environment = const_cast<char*>(launch.environment);

  BOOL started;
  if (launch.asUser) {
    HANDLE token = launch.token != nullptr ? win32::tokenHandle(launch.token)
                                           : INVALID_HANDLE_VALUE;
    started = CreateProcessAsUserA(token, nullptr, commandLine.data(), nullptr, nullptr, inherit,
                                   creationFlags, environment, nullptr, &startup.StartupInfo,
                                   &process);
  } else {
    started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, inherit,
                             creationFlags, environment, nullptr, &startup.StartupInfo, &process);
  }
  if (!started) return fail();
  if (process.hProcess != nullptr && process.hProcess != INVALID_HANDLE_VALUE) {
    CloseHandle(process.hProcess);
  }
  if (process.hThread != nullptr && process.hThread != INVALID_HANDLE_VALUE) {
    CloseHandle(process.hThread);
  }
  return true;
}

}  // namespace

bool launchProcess(const ProcessLaunch& launch) {
  if (launch.commandLine == nullptr || launch.environment == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  DWORD error = 0;
  if (createProcess(launch, error)) return true;
  SetLastError(error);
  return false;
}

std::optional<std::string> findProgram(const std::string& commandLine) {
  const std::vector<std::string> arguments = splitCommandLine(commandLine);
  if (arguments.empty() || arguments[0].empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return std::nullopt;
  }
  char found[2048];
  const DWORD length =
      SearchPathA(nullptr, arguments[0].c_str(), ".exe", sizeof found, found, nullptr);
  if (length == 0 || length >= sizeof found) {
    SetLastError(length >= sizeof found ? ERROR_FILENAME_EXCED_RANGE : ERROR_FILE_NOT_FOUND);
    return std::nullopt;
  }
  const DWORD attributes = GetFileAttributesA(found);
  if (attributes == INVALID_FILE_ATTRIBUTES) return std::nullopt;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return std::nullopt;
  }
  return std::string(found, length);
}

}  // namespace platform
