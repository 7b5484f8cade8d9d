#include "platform/socket_wait.h"

#include <poll.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "platform/deadline.h"
#include "platform/error.h"
#include "platform/posix/state_root.h"
#include "platform/posix/sync_posix.h"

namespace platform {

// Nothing is registered anywhere: poll is told everything at each wait.
// The array is kept between waits so that a wait allocates nothing.
struct SocketWaitImpl {
  std::vector<pollfd> fds;
};

namespace {

int descriptorOf(SocketHandle socket) {
  return socket <= static_cast<SocketHandle>(INT_MAX) ? static_cast<int>(socket) : -1;
}

bool failWith(ErrorCode code) {
  setLastError(code);
  return false;
}

}  // namespace

SocketWait createSocketWait() { return new SocketWaitImpl; }

void closeSocketWait(SocketWait wait) { delete wait; }

bool watchSocket(SocketWait wait, SocketHandle socket) {
  if (wait == nullptr) return failWith(kErrorInvalidHandle);
  // Asked of every connection the daemon accepts: a descriptor that is no
  // socket shows at the wait (kReadyInvalid) or at the first call on it,
  // without a system call here.
  return descriptorOf(socket) >= 0 ? true : failWith(kWsaNotSocket);
}

bool unwatchSocket(SocketWait wait, SocketHandle socket) {
  if (wait == nullptr) return failWith(kErrorInvalidHandle);
  return descriptorOf(socket) >= 0 ? true : failWith(kWsaNotSocket);
}

std::uint32_t waitForSocketsOrEvents(SocketWait wait, const EventHandle* events,
                                     std::size_t eventCount, SocketInterest* sockets,
                                     std::size_t socketCount, std::uint32_t timeoutMs) {
  if (wait == nullptr || (eventCount > 0 && events == nullptr) ||
      eventCount >= kMaximumWaitObjects || (socketCount > 0 && sockets == nullptr)) {
    setLastError(kErrorInvalidParameter);
    return kWaitFailed;
  }
  std::vector<pollfd>& fds = wait->fds;
  fds.clear();
  for (std::size_t i = 0; i < eventCount; ++i) {
    const int fd = posix::eventDescriptor(events[i]);
    if (fd < 0) {
      setLastError(kErrorInvalidHandle);
      return kWaitFailed;
    }
    fds.push_back({fd, POLLIN, 0});
  }
  for (std::size_t i = 0; i < socketCount; ++i) {
    sockets[i].ready = 0;
    short wanted = 0;
    if ((sockets[i].want & kWantRead) != 0) wanted |= POLLIN;
    if ((sockets[i].want & kWantWrite) != 0) wanted |= POLLOUT;
    // A negative descriptor is one poll skips.
    fds.push_back({wanted != 0 ? descriptorOf(sockets[i].socket) : -1, wanted, 0});
  }

  const Deadline deadline = Deadline::after(timeoutMs);
  for (;;) {
    const int ready =
        poll(fds.data(), static_cast<nfds_t>(fds.size()), deadline.pollTimeout());
    if (ready < 0) {
      if (errno == EINTR) continue;
      posix::failWithErrno();
      return kWaitFailed;
    }
    for (std::size_t i = 0; i < eventCount; ++i) {
      const short revents = fds[i].revents;
      if (revents == 0) continue;
      if ((revents & (POLLNVAL | POLLERR)) != 0) {
        setLastError(kErrorInvalidHandle);
        return kWaitFailed;
      }
      // Consumes an auto-reset event as a wait on it would; another waiter
      // may have taken it first.
      if (waitForEvent(events[i], 0) == 0) return static_cast<std::uint32_t>(i);
    }
    bool any = false;
    for (std::size_t i = 0; i < socketCount; ++i) {
      const short revents = fds[eventCount + i].revents;
      if (revents == 0) continue;
      std::uint8_t found = 0;
      if ((revents & POLLNVAL) != 0) {
        found = kReadyInvalid;
      } else {
        // An error or a hang-up is reported as whatever was wanted: the
        // next call on the socket says what happened.
        const bool failed = (revents & (POLLERR | POLLHUP)) != 0;
        if ((sockets[i].want & kWantRead) != 0 && (failed || (revents & POLLIN) != 0)) {
          found |= kWantRead;
        }
        if ((sockets[i].want & kWantWrite) != 0 && (failed || (revents & POLLOUT) != 0)) {
          found |= kWantWrite;
        }
      }
      sockets[i].ready = found;
      any = any || found != 0;
    }
    if (any) return static_cast<std::uint32_t>(eventCount);
    if (deadline.passed()) return kWaitTimeout;
    for (pollfd& entry : fds) entry.revents = 0;
  }
}

}  // namespace platform
