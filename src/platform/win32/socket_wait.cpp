#include "platform/socket_wait.h"

// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <windows.h>

#include <unordered_map>
#include <vector>

#include "platform/deadline.h"
#include "platform/error.h"

namespace platform {

// Every watched socket is selected onto `network`, which only says "look
// again": WSAEventSelect posts edges (FD_READ once until the next recv,
// FD_WRITE only after a send that would have blocked), while a wait must
// report states. WSAPoll with no time limit gives the states.
//
// A socket is selected for what the last wait wanted of it and nothing
// more. Wine sets the selected event again from WSAPoll for every selected
// condition that holds, wanted or not: a writable socket selected for
// FD_WRITE but wanted for reading would wake the wait at once, every time,
// and keep it spinning. With the selection following the wants, whatever
// sets the event after the reset is also something the poll reports.
struct SocketWaitImpl {
  WSAEVENT network = WSA_INVALID_EVENT;
  std::unordered_map<SOCKET, long> selected;  // the watched sockets' selections
  std::vector<WSAPOLLFD> fds;    // the wanted sockets only, kept between waits
  std::vector<std::size_t> slot;  // fds[i] is sockets[slot[i]]
};

namespace {

// No FD_CONNECT: Wine sets it again from every WSAPoll on a socket that
// connect() connected, for as long as it lives. A connection made without
// waiting still wakes the wait through FD_WRITE; one that fails does not
// until the time runs out (the daemon only accepts).
constexpr long kReadEvents = FD_READ | FD_ACCEPT | FD_CLOSE;
constexpr long kWriteEvents = FD_WRITE | FD_CLOSE;

long eventsFor(std::uint8_t want) {
  return ((want & kWantRead) != 0 ? kReadEvents : 0) |
         ((want & kWantWrite) != 0 ? kWriteEvents : 0);
}

bool failSocketCode(int code) {
  WSASetLastError(code);
  return false;
}

std::uint32_t failWait(int code) {
  WSASetLastError(code);
  return kWaitFailed;
}

// 1 when some wanted socket is ready (its `ready` set), 0 when none is,
// -1 with the error set.
int pollSockets(SocketWaitImpl& wait, SocketInterest* sockets) {
  if (wait.fds.empty()) return 0;
  for (WSAPOLLFD& entry : wait.fds) entry.revents = 0;
  const int count = WSAPoll(wait.fds.data(), static_cast<ULONG>(wait.fds.size()), 0);
  if (count == 0) return 0;
  if (count == SOCKET_ERROR) {
    // Wine fails the whole poll (10038) when no socket in it is one, yet
    // marks them POLLNVAL; those are reported as a mixed set reports them.
    if (WSAGetLastError() != WSAENOTSOCK) return -1;
    bool marked = false;
    for (const WSAPOLLFD& entry : wait.fds) marked = marked || (entry.revents & POLLNVAL) != 0;
    if (!marked) return -1;
  }
  bool any = false;
  for (std::size_t i = 0; i < wait.fds.size(); ++i) {
    const SHORT revents = wait.fds[i].revents;
    SocketInterest& interest = sockets[wait.slot[i]];
    std::uint8_t found = 0;
    if ((revents & POLLNVAL) != 0) {
      found = kReadyInvalid;
    } else {
      // An error or a hang-up is reported as whatever was wanted: the
      // next call on the socket says what happened.
      const bool failed = (revents & (POLLERR | POLLHUP)) != 0;
      if ((interest.want & kWantRead) != 0 && (failed || (revents & POLLRDNORM) != 0)) {
        found |= kWantRead;
      }
      if ((interest.want & kWantWrite) != 0 && (failed || (revents & POLLWRNORM) != 0)) {
        found |= kWantWrite;
      }
    }
    interest.ready = found;
    any = any || found != 0;
  }
  return any ? 1 : 0;
}

}  // namespace

SocketWait createSocketWait() {
  WSAEVENT network = WSACreateEvent();  // manual reset, not signalled
  if (network == WSA_INVALID_EVENT) return nullptr;
  SocketWait wait = new SocketWaitImpl;
  wait->network = network;
  return wait;
}

void closeSocketWait(SocketWait wait) {
  if (wait == nullptr) return;
  WSACloseEvent(wait->network);
  delete wait;
}

bool watchSocket(SocketWait wait, SocketHandle socket) {
  if (wait == nullptr) return failSocketCode(WSA_INVALID_HANDLE);
  // Replaces whatever selection the socket had, the one an accepted
  // socket inherits from its listener included. Reading is what a socket
  // is most often wanted for; a wait that wants more selects more.
  const SOCKET handle = static_cast<SOCKET>(socket);
  if (WSAEventSelect(handle, wait->network, kReadEvents) != 0) return false;
  wait->selected[handle] = kReadEvents;
  return true;
}

bool unwatchSocket(SocketWait wait, SocketHandle socket) {
  if (wait == nullptr) return failSocketCode(WSA_INVALID_HANDLE);
  // No events and no event object: the socket leaves every selection and
  // may be made blocking again.
  const SOCKET handle = static_cast<SOCKET>(socket);
  wait->selected.erase(handle);
  return WSAEventSelect(handle, nullptr, 0) == 0;
}

std::uint32_t waitForSocketsOrEvents(SocketWait wait, const EventHandle* events,
                                     std::size_t eventCount, SocketInterest* sockets,
                                     std::size_t socketCount, std::uint32_t timeoutMs) {
  // One slot of the wait goes to the set's own event.
  if (wait == nullptr || (eventCount > 0 && events == nullptr) ||
      eventCount >= kMaximumWaitObjects || (socketCount > 0 && sockets == nullptr)) {
    return failWait(kErrorInvalidParameter);
  }
  HANDLE handles[kMaximumWaitObjects];
  for (std::size_t i = 0; i < eventCount; ++i) {
    if (events[i] == nullptr) return failWait(kErrorInvalidHandle);
    handles[i] = reinterpret_cast<HANDLE>(events[i]);
  }
  handles[eventCount] = wait->network;
  const DWORD callerCount = static_cast<DWORD>(eventCount);

  wait->fds.clear();
  wait->slot.clear();
  for (std::size_t i = 0; i < socketCount; ++i) {
    sockets[i].ready = 0;
    SHORT wanted = 0;
    if ((sockets[i].want & kWantRead) != 0) wanted |= POLLRDNORM;
    if ((sockets[i].want & kWantWrite) != 0) wanted |= POLLWRNORM;
    if (wanted == 0) continue;
    const SOCKET handle = static_cast<SOCKET>(sockets[i].socket);
    // A socket that is not watched is only polled. One that is gone keeps
    // its old selection: the poll reports it.
    auto found = wait->selected.find(handle);
    const long events = eventsFor(sockets[i].want);
    if (found != wait->selected.end() && found->second != events &&
        WSAEventSelect(handle, wait->network, events) == 0) {
      found->second = events;
    }
    wait->fds.push_back({handle, wanted, 0});
    wait->slot.push_back(i);
  }

  const Deadline deadline = Deadline::after(timeoutMs);
  for (;;) {
    // The caller's events first, and consumed as a wait on them would.
    if (callerCount > 0) {
      const DWORD signalled = WaitForMultipleObjects(callerCount, handles, FALSE, 0);
      if (signalled < WAIT_OBJECT_0 + callerCount) return signalled - WAIT_OBJECT_0;
      if (signalled != WAIT_TIMEOUT) {
        return signalled == WAIT_FAILED ? kWaitFailed : failWait(kErrorInvalidHandle);
      }
    }
    int ready = pollSockets(*wait, sockets);
    if (ready != 0) return ready > 0 ? callerCount : kWaitFailed;

    const Deadline::Clock::time_point now = Deadline::Clock::now();
    if (deadline.passed(now)) return kWaitTimeout;
    const DWORD left = deadline.leftMs(now);  // INFINITE when unbounded
    // Whatever the event said is known now; a change that lands between
    // the poll above and the reset is caught by the second poll, one after
    // it sets the event again.
    WSAResetEvent(wait->network);
    ready = pollSockets(*wait, sockets);
    if (ready != 0) return ready > 0 ? callerCount : kWaitFailed;

    const DWORD result = WaitForMultipleObjects(callerCount + 1, handles, FALSE, left);
    if (result < WAIT_OBJECT_0 + callerCount) return result - WAIT_OBJECT_0;
    // The set's event or the time: look again; the loop decides.
    if (result == WAIT_OBJECT_0 + callerCount || result == WAIT_TIMEOUT) continue;
    return result == WAIT_FAILED ? kWaitFailed : failWait(kErrorInvalidHandle);
  }
}

}  // namespace platform
