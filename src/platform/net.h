// TCP sockets over IPv4 and IPv6, and the listener's wait for a
// connection or a control event.
//
// Calls keep the Windows Sockets shapes: a failed call returns
// kInvalidSocket, kSocketError or false and leaves a Winsock error code
// (10048 address in use, 10061 refused, ...) for lastSocketError(), on
// POSIX as on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/error.h"
#include "platform/net_address.h"
#include "platform/sync.h"

namespace platform {

using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};  // INVALID_SOCKET
inline constexpr int kSocketError = -1;                           // SOCKET_ERROR

// Winsock codes the core names.
inline constexpr ErrorCode kWsaInterrupted = 10004;      // WSAEINTR
inline constexpr ErrorCode kWsaNotSocket = 10038;        // WSAENOTSOCK
inline constexpr ErrorCode kWsaInvalidArgument = 10022;  // WSAEINVAL
inline constexpr ErrorCode kWsaWouldBlock = 10035;       // WSAEWOULDBLOCK
inline constexpr ErrorCode kWsaAddressInUse = 10048;     // WSAEADDRINUSE
inline constexpr ErrorCode kWsaAddressNotAvailable = 10049;  // WSAEADDRNOTAVAIL
inline constexpr ErrorCode kWsaFamilyNotSupported = 10047;   // WSAEAFNOSUPPORT
inline constexpr ErrorCode kWsaTimedOut = 10060;         // WSAETIMEDOUT
inline constexpr ErrorCode kWsaConnectionRefused = 10061;

// The longest listen backlog there is: SOMAXCONN on Windows; POSIX
// systems cut a larger backlog to their own maximum.
inline constexpr int kMaximumBacklog = 0x7FFFFFFF;

// Results of waitForControlOrConnection besides the indexes 0 and 1.
inline constexpr std::uint32_t kWaitIoCompletion = 0xC0;  // WSA_WAIT_IO_COMPLETION

// An IPv4 address and port, both in host byte order (127.0.0.1 is
// 0x7F000001). Address 0 is every local interface.
struct Ipv4Endpoint {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
};
inline constexpr std::uint32_t kAnyAddress = 0;               // INADDR_ANY
inline constexpr std::uint32_t kLoopbackAddress = 0x7F000001;  // INADDR_LOOPBACK

// WSAStartup for the given version: 0 or the error code it returned.
// Nothing to start on POSIX.
ErrorCode startSockets(std::uint8_t major = 2, std::uint8_t minor = 2);
void cleanupSockets();

// WSAGetLastError: the code left by the last failed socket call.
ErrorCode lastSocketError();

// AF_INET, SOCK_STREAM, TCP. Not inherited by child processes on POSIX.
SocketHandle createTcpSocket();
// The same in either family. An IPv6 socket takes IPv6 alone
// (IPV6_V6ONLY), so that IPv4 clients reach an IPv4 socket of their own.
// kWsaFamilyNotSupported where the system has no IPv6.
SocketHandle createTcpSocket(AddressFamily family);
bool closeSocket(SocketHandle socket);

bool bindSocket(SocketHandle socket, const Ipv4Endpoint& local);
bool listenSocket(SocketHandle socket, int backlog);
// The peer's address goes to *peer when it is not null.
SocketHandle acceptSocket(SocketHandle listener, Ipv4Endpoint* peer);
bool connectSocket(SocketHandle socket, const Ipv4Endpoint& remote);
// The same for either family; the socket must be of the endpoint's.
bool bindSocket(SocketHandle socket, const Endpoint& local);
SocketHandle acceptSocket(SocketHandle listener, Endpoint* peer);
inline SocketHandle acceptSocket(SocketHandle listener, std::nullptr_t) {
  return acceptSocket(listener, static_cast<Endpoint*>(nullptr));
}
bool connectSocket(SocketHandle socket, const Endpoint& remote);
// The socket's own address and port (getsockname) and its peer's
// (getpeername); false with the error set.
bool localEndpoint(SocketHandle socket, Endpoint* local);
bool peerEndpoint(SocketHandle socket, Endpoint* peer);

// One recv or send with flags 0: the byte count, 0 (receive: the peer
// closed) or kSocketError. A send to a closed peer fails; it never raises
// a signal.
int receiveSocket(SocketHandle socket, void* buffer, int length);
int sendSocket(SocketHandle socket, const void* bytes, int length);
bool shutdownSend(SocketHandle socket);  // SD_SEND

// The port a socket is bound to (getsockname), in either family; 0 with
// the error set.
std::uint16_t localPort(SocketHandle socket);

bool setReuseAddress(SocketHandle socket, bool on);
bool setNoDelay(SocketHandle socket, bool on);
bool setKeepAlive(SocketHandle socket, bool on);
// Switches keep-alive on with the first probe after idleSeconds of
// silence, then one every intervalSeconds. The probe count applies where
// the system lets a program set it (not before Windows 10, which sends 10).
bool setKeepAliveTiming(SocketHandle socket, std::uint32_t idleSeconds,
                        std::uint32_t intervalSeconds, std::uint32_t probeCount);
bool setBlocking(SocketHandle socket, bool blocking);  // ioctlsocket FIONBIO

// inet_addr: false for anything that is not dotted IPv4 text (and, as
// with inet_addr, for "255.255.255.255").
bool parseDottedIpv4(const char* text, std::uint32_t* address);
// The first IPv4 address a name lookup gives (gethostbyname); false with
// the error set when there is none.
bool lookupHostIpv4(const char* name, std::uint32_t* address);
// A name's address, IPv4 when it has one, else IPv6 (getaddrinfo).
bool lookupHost(const char* name, NetAddress* address);

// One recv that does not wait: the byte count, 0 when the peer closed, or
// kSocketError with kWsaWouldBlock when nothing has arrived yet.
int receiveReady(SocketHandle socket, void* buffer, int length);
// The same, leaving what it reads in the socket for the next read.
int peekReady(SocketHandle socket, void* buffer, int length);
// One send that does not wait: the bytes taken (perhaps fewer than
// length), or kSocketError with kWsaWouldBlock when there is no room at
// all. Windows: only a non-blocking socket (one watched by a SocketWait)
// is sure not to wait.
int sendReady(SocketHandle socket, const void* bytes, int length);
// The same for several runs of bytes sent in order in one call (WSASend
// with its buffers; sendmsg): the bytes taken from the first run on.
int sendReadyGathered(SocketHandle socket, const std::string_view* runs, int count);

// While set, the socket's sends are held back and each reports the whole
// length taken; clearing it sends what is held at once, so a reply made
// of several sends leaves in one call and as few segments as its size
// allows. A failure shows in clearing (false, with the error set). One
// socket at a time per thread. On Windows the sends go out as made.
bool setCorked(SocketHandle socket, bool corked);

// Waits until the socket has something to read (data, end of stream or an
// error): 1, 0 when timeoutMs ran out first (kInfinite waits for ever),
// kSocketError with the error set.
int waitUntilReadable(SocketHandle socket, std::uint32_t timeoutMs);

// For a process started with a socket: the usable socket behind the number
// on its command line. POSIX: the number itself, once it is known to be a
// socket. Windows: the handle, or, where the system refuses an inherited
// handle in socket calls (10038, as Wine does), a socket of this process
// made from it (WSADuplicateSocketA for this process, then WSASocketA).
// kInvalidSocket with the error set when it is no socket.
SocketHandle adoptInheritedSocket(std::uintptr_t number);

// The listener's accept notification, a manual-reset network event on
// Windows (WSACreateEvent). Null on failure, with the error set.
struct AcceptEventImpl;
using AcceptEventHandle = AcceptEventImpl*;

AcceptEventHandle createAcceptEvent();
void closeAcceptEvent(AcceptEventHandle event);
// WSAEventSelect(listener, event, FD_ACCEPT). Also makes the listener
// non-blocking, so an accept with nothing pending fails with
// kWsaWouldBlock instead of hanging.
bool selectAcceptEvent(SocketHandle listener, AcceptEventHandle event);
bool resetAcceptEvent(AcceptEventHandle event);
// An accepted socket inherits the listener's selection: this cancels it
// (WSAEventSelect with no events). setBlocking works only after it.
bool cancelEventSelection(SocketHandle accepted, AcceptEventHandle event);

// Waits, without a time limit and alertable, for the control event (index
// 0, consumed when it is an auto-reset event) or a pending connection on
// the selected listener (index 1). The lower index wins when both are
// ready. kWaitIoCompletion when an asynchronous call ended the wait;
// kWaitFailed with the error set. A listener that is not listening never
// reports a connection.
std::uint32_t waitForControlOrConnection(EventHandle control, AcceptEventHandle accept);

}  // namespace platform
