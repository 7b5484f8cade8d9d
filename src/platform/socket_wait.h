// One wait on many sockets and a few events together: what the daemon's
// connection loop sleeps in.
//
// A socket takes part from watchSocket to unwatchSocket (or its close).
// Each wait names what it wants of each socket and reports what is ready.
// Readiness is a state, not an edge: a socket that stays ready is reported
// at every wait, whether or not it was reported before.
//
//   readable   data, end of stream, an error, or (on a listening socket) a
//              connection waiting to be accepted
//   writable   room to send, or an error
//
// The calls on a watched socket that must not wait are receiveReady and
// sendReady (net.h).
//
// POSIX: the sockets are kept in an epoll set that follows what each wait
// asks, so a wait costs what is ready, not what is watched; watching
// changes nothing on the socket, and unwatchSocket must come before the
// socket is handed to another process. Windows: every watched socket is selected
// (WSAEventSelect) onto one event the set owns, which makes it
// non-blocking; the wait is WaitForMultipleObjects on the caller's events
// and that one, and WSAPoll, which never waits here, says which sockets
// are ready. There is no limit of 64 sockets. unwatchSocket cancels the
// selection; setBlocking works again only after it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/net.h"
#include "platform/sync.h"

namespace platform {

inline constexpr std::uint8_t kWantRead = 1;
inline constexpr std::uint8_t kWantWrite = 2;
// In `ready` only: the socket is not one (closed, never opened).
inline constexpr std::uint8_t kReadyInvalid = 4;

struct SocketInterest {
  SocketHandle socket = kInvalidSocket;
  std::uint8_t want = 0;   // kWantRead | kWantWrite; 0 leaves the socket out
  std::uint8_t ready = 0;  // set by the wait
};

struct SocketWaitImpl;
using SocketWait = SocketWaitImpl*;

// Null on failure, with the last error set.
SocketWait createSocketWait();
void closeSocketWait(SocketWait wait);

// False with the socket error set: a null set, or a handle that cannot be
// a socket (POSIX looks no further than that; a descriptor that is no
// socket shows as kReadyInvalid at the wait).
bool watchSocket(SocketWait wait, SocketHandle socket);
bool unwatchSocket(SocketWait wait, SocketHandle socket);

// Waits until one of the events is signalled, a socket is ready for what
// it is wanted for, or the time runs out. Returns the lowest index of a
// signalled event (consumed when it is an auto-reset event), eventCount
// when sockets are ready (each one's `ready` set, the others' cleared),
// kWaitTimeout, or kWaitFailed with the last error set (a null set or
// event, more than kMaximumWaitObjects - 1 events). Events win over
// sockets. Sockets may number in the thousands.
std::uint32_t waitForSocketsOrEvents(SocketWait wait, const EventHandle* events,
                                     std::size_t eventCount, SocketInterest* sockets,
                                     std::size_t socketCount, std::uint32_t timeoutMs);

}  // namespace platform
