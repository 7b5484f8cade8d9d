#include "platform/net.h"

// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <array>
#include <cstring>

#include "platform/deadline.h"

namespace platform {

namespace {

SOCKET toSocket(SocketHandle socket) { return static_cast<SOCKET>(socket); }

WSAEVENT toEvent(AcceptEventHandle event) { return reinterpret_cast<WSAEVENT>(event); }

bool failSocketCode(int code) {
  WSASetLastError(code);
  return false;
}

// An endpoint as the system's address; its length goes to *length.
sockaddr_storage toSockaddr(const Endpoint& endpoint, int* length) {
  sockaddr_storage storage;
  std::memset(&storage, 0, sizeof storage);
  if (endpoint.address.isIpv4()) {
    auto* address = reinterpret_cast<sockaddr_in*>(&storage);
    address->sin_family = AF_INET;
    address->sin_port = htons(endpoint.port);
    std::memcpy(&address->sin_addr, endpoint.address.bytes.data(), 4);
    *length = sizeof(sockaddr_in);
  } else {
    auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
    address->sin6_family = AF_INET6;
    address->sin6_port = htons(endpoint.port);
    std::memcpy(&address->sin6_addr, endpoint.address.bytes.data(), 16);
    *length = sizeof(sockaddr_in6);
  }
  return storage;
}

// False for a family that is neither.
bool fromSockaddr(const sockaddr_storage& storage, Endpoint* endpoint) {
  if (storage.ss_family == AF_INET) {
    const auto* address = reinterpret_cast<const sockaddr_in*>(&storage);
    endpoint->address = NetAddress::ipv4(ntohl(address->sin_addr.s_addr));
    endpoint->port = ntohs(address->sin_port);
    return true;
  }
  if (storage.ss_family == AF_INET6) {
    const auto* address = reinterpret_cast<const sockaddr_in6*>(&storage);
    std::array<std::uint8_t, 16> bytes{};
    std::memcpy(bytes.data(), &address->sin6_addr, 16);
    endpoint->address = NetAddress::ipv6(bytes);
    endpoint->port = ntohs(address->sin6_port);
    return true;
  }
  return false;
}

Endpoint fromIpv4(const Ipv4Endpoint& endpoint) {
  return {NetAddress::ipv4(endpoint.address), endpoint.port};
}

// Engines get only the handles their launch lists, never the listener or
// another client; this keeps the sockets out of any other process started
// with inheritance on as well. Some providers refuse the flag change; the
// socket works all the same.
void keepFromChildren(SOCKET socket) {
  SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
}

bool setIntOption(SocketHandle socket, int level, int name, int value) {
  return setsockopt(toSocket(socket), level, name, reinterpret_cast<const char*>(&value),
                    sizeof value) == 0;
}

}  // namespace

ErrorCode startSockets(std::uint8_t major, std::uint8_t minor) {
  WSADATA data;
  return static_cast<ErrorCode>(WSAStartup(MAKEWORD(major, minor), &data));
}

void cleanupSockets() { WSACleanup(); }

ErrorCode lastSocketError() { return static_cast<ErrorCode>(WSAGetLastError()); }

SocketHandle createTcpSocket() { return createTcpSocket(AddressFamily::IPv4); }

SocketHandle createTcpSocket(AddressFamily family) {
  const bool ipv6 = family == AddressFamily::IPv6;
  SOCKET created = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (created == INVALID_SOCKET) return kInvalidSocket;
  // Windows takes IPv6 alone by default; said all the same.
  DWORD only = 1;
  if (ipv6 && setsockopt(created, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&only),
                         sizeof only) != 0) {
    const int error = WSAGetLastError();
    closesocket(created);
    WSASetLastError(error);
    return kInvalidSocket;
  }
  keepFromChildren(created);
  return static_cast<SocketHandle>(created);
}

bool closeSocket(SocketHandle socket) { return closesocket(toSocket(socket)) == 0; }

bool bindSocket(SocketHandle socket, const Ipv4Endpoint& local) {
  return bindSocket(socket, fromIpv4(local));
}

bool bindSocket(SocketHandle socket, const Endpoint& local) {
  int length = 0;
  sockaddr_storage address = toSockaddr(local, &length);
  return bind(toSocket(socket), reinterpret_cast<sockaddr*>(&address), length) == 0;
}

bool listenSocket(SocketHandle socket, int backlog) {
  return listen(toSocket(socket), backlog) == 0;
}

SocketHandle acceptSocket(SocketHandle listener, Ipv4Endpoint* peer) {
  Endpoint any;
  const SocketHandle accepted = acceptSocket(listener, peer != nullptr ? &any : nullptr);
  if (accepted != kInvalidSocket && peer != nullptr) {
    peer->address = any.address.ipv4HostOrder();
    peer->port = any.port;
  }
  return accepted;
}

SocketHandle acceptSocket(SocketHandle listener, Endpoint* peer) {
  sockaddr_storage address;
  std::memset(&address, 0, sizeof address);
  int length = sizeof address;
  SOCKET accepted = accept(toSocket(listener), reinterpret_cast<sockaddr*>(&address), &length);
  if (accepted == INVALID_SOCKET) return kInvalidSocket;
  keepFromChildren(accepted);
  if (peer != nullptr && !fromSockaddr(address, peer)) *peer = Endpoint{};
  return static_cast<SocketHandle>(accepted);
}

bool connectSocket(SocketHandle socket, const Ipv4Endpoint& remote) {
  return connectSocket(socket, fromIpv4(remote));
}

bool connectSocket(SocketHandle socket, const Endpoint& remote) {
  int length = 0;
  sockaddr_storage address = toSockaddr(remote, &length);
  return connect(toSocket(socket), reinterpret_cast<sockaddr*>(&address), length) == 0;
}

namespace {

// getsockname or getpeername, as an endpoint.
bool endpointOf(SocketHandle socket, Endpoint* endpoint, int(WSAAPI* query)(SOCKET, sockaddr*, int*)) {
  sockaddr_storage address;
  std::memset(&address, 0, sizeof address);
  int length = sizeof address;
  if (query(toSocket(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
  return fromSockaddr(address, endpoint) ? true : failSocketCode(WSAEAFNOSUPPORT);
}

}  // namespace

bool localEndpoint(SocketHandle socket, Endpoint* local) {
  return endpointOf(socket, local, getsockname);
}

bool peerEndpoint(SocketHandle socket, Endpoint* peer) {
  return endpointOf(socket, peer, getpeername);
}

int receiveSocket(SocketHandle socket, void* buffer, int length) {
  return recv(toSocket(socket), static_cast<char*>(buffer), length, 0);
}

int sendSocket(SocketHandle socket, const void* bytes, int length) {
  return send(toSocket(socket), static_cast<const char*>(bytes), length, 0);
}

bool shutdownSend(SocketHandle socket) { return shutdown(toSocket(socket), SD_SEND) == 0; }

std::uint16_t localPort(SocketHandle socket) {
  Endpoint local;
  return localEndpoint(socket, &local) ? local.port : 0;
}

bool setReuseAddress(SocketHandle socket, bool on) {
  return setIntOption(socket, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0);
}

bool setNoDelay(SocketHandle socket, bool on) {
  return setIntOption(socket, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0);
}

bool setKeepAlive(SocketHandle socket, bool on) {
  return setIntOption(socket, SOL_SOCKET, SO_KEEPALIVE, on ? 1 : 0);
}

bool setKeepAliveTiming(SocketHandle socket, std::uint32_t idleSeconds,
                        std::uint32_t intervalSeconds, std::uint32_t probeCount) {
  auto toMs = [](std::uint32_t seconds) -> ULONG {
    return seconds > 0xFFFFFFFFu / 1000 ? 0xFFFFFFFFu : seconds * 1000;
  };
  tcp_keepalive values;
  values.onoff = 1;
  values.keepalivetime = toMs(idleSeconds);
  values.keepaliveinterval = toMs(intervalSeconds);
  DWORD returned = 0;
  if (WSAIoctl(toSocket(socket), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0,
               &returned, nullptr, nullptr) != 0) {
    return false;
  }
#ifdef TCP_KEEPCNT
  // Only Windows 10 1703 and later know this option; older systems keep
  // their fixed count, which is no reason to fail.
  setIntOption(socket, IPPROTO_TCP, TCP_KEEPCNT, static_cast<int>(probeCount));
#else
  (void)probeCount;
#endif
  return true;
}

bool setBlocking(SocketHandle socket, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  return ioctlsocket(toSocket(socket), FIONBIO, &nonBlocking) == 0;
}

bool parseDottedIpv4(const char* text, std::uint32_t* address) {
  if (text == nullptr || address == nullptr) return false;
  unsigned long parsed = inet_addr(text);
  if (parsed == INADDR_NONE) return false;
  *address = ntohl(parsed);
  return true;
}

bool lookupHostIpv4(const char* name, std::uint32_t* address) {
  if (name == nullptr || address == nullptr) return failSocketCode(WSAEFAULT);
  hostent* entry = gethostbyname(name);
  if (entry == nullptr) return false;
  if (entry->h_addrtype != AF_INET || entry->h_addr_list == nullptr ||
      entry->h_addr_list[0] == nullptr) {
    return failSocketCode(WSANO_DATA);
  }
  in_addr first;
  std::memcpy(&first, entry->h_addr_list[0], sizeof first);
  *address = ntohl(first.s_addr);
  return true;
}

bool lookupHost(const char* name, NetAddress* address) {
  if (name == nullptr || address == nullptr) return failSocketCode(WSAEFAULT);
  std::uint32_t ipv4 = 0;
  if (lookupHostIpv4(name, &ipv4)) {
    *address = NetAddress::ipv4(ipv4);
    return true;
  }
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET6;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int result = getaddrinfo(name, nullptr, &hints, &found);
  if (result != 0) return failSocketCode(result);
  bool ok = false;
  for (addrinfo* entry = found; entry != nullptr && !ok; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET6 || entry->ai_addr == nullptr) continue;
    sockaddr_storage storage;
    std::memset(&storage, 0, sizeof storage);
    std::memcpy(&storage, entry->ai_addr, sizeof(sockaddr_in6));
    Endpoint endpoint;
    ok = fromSockaddr(storage, &endpoint);
    if (ok) *address = endpoint.address;
  }
  freeaddrinfo(found);
  return ok ? true : failSocketCode(WSANO_DATA);
}

int waitUntilReadable(SocketHandle socket, std::uint32_t timeoutMs) {
  const Deadline deadline = Deadline::after(timeoutMs);
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(toSocket(socket), &readable);
    const std::uint32_t left = deadline.leftMs();
    timeval limit;
    limit.tv_sec = static_cast<long>(left / 1000);
    limit.tv_usec = static_cast<long>(left % 1000) * 1000;
    // The first argument is ignored by Winsock.
    int ready = select(0, &readable, nullptr, nullptr, deadline.bounded() ? &limit : nullptr);
    if (ready == SOCKET_ERROR) return kSocketError;
    if (ready > 0) return 1;
    // A bound longer than one wait may be is waited in turns, and a turn
    // that ended short of the deadline is followed by another.
    if (deadline.passed()) return 0;
  }
}

AcceptEventHandle createAcceptEvent() {
  WSAEVENT event = WSACreateEvent();
  return event == WSA_INVALID_EVENT ? nullptr : reinterpret_cast<AcceptEventHandle>(event);
}

void closeAcceptEvent(AcceptEventHandle event) {
  if (event != nullptr) WSACloseEvent(toEvent(event));
}

bool selectAcceptEvent(SocketHandle listener, AcceptEventHandle event) {
  return WSAEventSelect(toSocket(listener), toEvent(event), FD_ACCEPT) == 0;
}

bool resetAcceptEvent(AcceptEventHandle event) { return WSAResetEvent(toEvent(event)) != FALSE; }

bool cancelEventSelection(SocketHandle accepted, AcceptEventHandle event) {
  return WSAEventSelect(toSocket(accepted), toEvent(event), 0) == 0;
}

int receiveReady(SocketHandle socket, void* buffer, int length) {
  // Winsock has no per-call "don't wait": look first, then read.
  const int ready = waitUntilReadable(socket, 0);
  if (ready == 0) {
    WSASetLastError(WSAEWOULDBLOCK);
    return kSocketError;
  }
  if (ready < 0) return kSocketError;
  return receiveSocket(socket, buffer, length);
}

int peekReady(SocketHandle socket, void* buffer, int length) {
  const int ready = waitUntilReadable(socket, 0);
  if (ready == 0) {
    WSASetLastError(WSAEWOULDBLOCK);
    return kSocketError;
  }
  if (ready < 0) return kSocketError;
  return recv(toSocket(socket), static_cast<char*>(buffer), length, MSG_PEEK);
}

int sendReady(SocketHandle socket, const void* bytes, int length) {
  // Non-blocking while watched: a send with no room fails with
  // WSAEWOULDBLOCK instead of waiting.
  return send(toSocket(socket), static_cast<const char*>(bytes), length, 0);
}

int sendReadyGathered(SocketHandle socket, const std::string_view* runs, int count) {
  constexpr int kMostRuns = 16;
  if (count < 0 || count > kMostRuns) {
    WSASetLastError(WSAEINVAL);
    return SOCKET_ERROR;
  }
  WSABUF buffers[kMostRuns];
  unsigned long long total = 0;
  for (int i = 0; i < count; ++i) {
    buffers[i].buf = const_cast<char*>(runs[i].data());
    buffers[i].len = static_cast<ULONG>(runs[i].size());
    total += runs[i].size();
  }
  if (total > 0x7fffffffULL) {
    WSASetLastError(WSAEINVAL);
    return SOCKET_ERROR;
  }
  // Non-blocking while watched, as with sendReady.
  DWORD sent = 0;
  if (WSASend(toSocket(socket), buffers, static_cast<DWORD>(count), &sent, 0, nullptr,
              nullptr) == SOCKET_ERROR) {
    return SOCKET_ERROR;
  }
  return static_cast<int>(sent);
}

bool setCorked(SocketHandle, bool) {
  // No such option: the sends go out as they are made.
  return true;
}

std::uint32_t waitForControlOrConnection(EventHandle control, AcceptEventHandle accept) {
  if (control == nullptr || accept == nullptr) {
    WSASetLastError(WSA_INVALID_HANDLE);
    return kWaitFailed;
  }
  WSAEVENT events[2] = {reinterpret_cast<HANDLE>(control), toEvent(accept)};
  DWORD result = WSAWaitForMultipleEvents(2, events, FALSE, WSA_INFINITE, TRUE);
  switch (result) {
    case WSA_WAIT_EVENT_0: return 0;
    case WSA_WAIT_EVENT_0 + 1: return 1;
    case WSA_WAIT_IO_COMPLETION: return kWaitIoCompletion;
    case WSA_WAIT_FAILED: return kWaitFailed;
    // Anything else goes to the caller as it came.
    default: return static_cast<std::uint32_t>(result);
  }
}

SocketHandle adoptInheritedSocket(std::uintptr_t number) {
  const SOCKET inherited = static_cast<SOCKET>(number);
  int type = 0;
  int length = sizeof type;
  if (getsockopt(inherited, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) == 0) {
    return static_cast<SocketHandle>(inherited);
  }
  if (WSAGetLastError() != WSAENOTSOCK) return kInvalidSocket;
  // Wine keeps sockets in a table per process and refuses a handle that
  // came by inheritance; a socket of this process made from it is taken.
  WSAPROTOCOL_INFOA info;
  if (WSADuplicateSocketA(inherited, GetCurrentProcessId(), &info) != 0) return kInvalidSocket;
  const SOCKET own =
      WSASocketA(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0, 0);
  if (own == INVALID_SOCKET) return kInvalidSocket;
  // The inherited handle would keep the connection open after the
  // engine closes its socket; the client must see that close.
  if (own != inherited) CloseHandle(reinterpret_cast<HANDLE>(inherited));
  return static_cast<SocketHandle>(own);
}

}  // namespace platform
