// What a Windows process was given: its environment block, and the files
// and sockets it holds.
// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "engine_probe.h"

namespace testing_support {

namespace {

// "local>remote" for a socket of this process; empty for anything else.
std::string socketPorts(SOCKET socket) {
  sockaddr_in local;
  sockaddr_in remote;
  std::memset(&local, 0, sizeof local);
  std::memset(&remote, 0, sizeof remote);
  int length = sizeof local;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) return "";
  length = sizeof remote;
  const bool connected = getpeername(socket, reinterpret_cast<sockaddr*>(&remote), &length) == 0;
  return std::to_string(ntohs(local.sin_port)) + ">" +
         (connected ? std::to_string(ntohs(remote.sin_port)) : "-");
}

// The handle's ports when it is a socket, inherited or not; empty when it
// is none.
std::string socketLine(HANDLE handle) {
  const SOCKET socket = reinterpret_cast<SOCKET>(handle);
  int type = 0;
  int length = sizeof type;
  if (getsockopt(socket, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) == 0) {
    return socketPorts(socket);
  }
  // Wine names only the sockets in this process's own table: one made
  // from the inherited handle is asked instead, then let go.
  WSAPROTOCOL_INFOA info;
  if (WSADuplicateSocketA(socket, GetCurrentProcessId(), &info) != 0) return "";
  const SOCKET own =
      WSASocketA(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0, 0);
  if (own == INVALID_SOCKET) return "<socket " + std::to_string(socket) + ">";
  const std::string ports = socketPorts(own);
  closesocket(own);
  return ports.empty() ? "<socket " + std::to_string(socket) + ">" : ports;
}

}  // namespace

std::vector<std::string> probeEnvironment() {
  std::vector<std::string> entries;
  char* block = GetEnvironmentStringsA();
  if (block == nullptr) return entries;
  for (const char* entry = block; *entry != '\0'; entry += std::strlen(entry) + 1) {
    entries.emplace_back(entry);
  }
  FreeEnvironmentStringsA(block);
  return entries;
}

std::string probeIdentityLines() {
  // Handle values are multiples of 4; a child's table starts with what it
  // inherited, so a low range covers every handle the daemon let through.
  std::string lines;
  for (std::uintptr_t value = 4; value < 16384; value += 4) {
    const HANDLE handle = reinterpret_cast<HANDLE>(value);
    DWORD flags = 0;
    if (!GetHandleInformation(handle, &flags)) continue;
    if (GetFileType(handle) != FILE_TYPE_DISK) {
      const std::string ports = socketLine(handle);
      if (!ports.empty()) lines += "socket=" + ports + "\n";
      continue;
    }
    char path[MAX_PATH * 2];
    const DWORD length = GetFinalPathNameByHandleA(handle, path, sizeof path, 0);
    lines += "file=" + (length > 0 && length < sizeof path ? std::string(path, length)
                                                           : "<handle " + std::to_string(value) + ">") +
             "\n";
  }
  return lines;
}

}  // namespace testing_support
