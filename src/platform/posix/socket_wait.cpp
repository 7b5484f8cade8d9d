#include "platform/socket_wait.h"

#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include "platform/deadline.h"
#include "platform/error.h"
#include "platform/posix/state_root.h"
#include "platform/posix/sync_posix.h"

namespace platform {

// The sockets live in an epoll set, so that a wait costs what is ready
// rather than what is watched: a daemon holding a thousand idle
// connections would otherwise hand all of them to the kernel at every
// wake. The set follows what each wait asks: a socket wanted for
// something it was not registered for is changed, one wanted for nothing
// (or left out of the wait) leaves the set, so that a socket that is
// ready but not asked about never makes the wait return at once. Events
// are polled beside the set's own descriptor.
struct SocketWaitImpl {
  struct Entry {
    std::uint8_t mask = 0;        // what the set has it for; 0: not in the set
    std::uint64_t stamp = 0;      // the wait that last asked about it
    std::size_t slot = 0;         // its place in that wait's array
    bool listed = false;          // in `members`
  };

  ~SocketWaitImpl() {
    if (set >= 0) close(set);
  }

  Entry& entry(int fd) {
    if (static_cast<std::size_t>(fd) >= entries.size()) entries.resize(fd + 1);
    return entries[fd];
  }

  // Out of the set, whatever became of the descriptor.
  void leave(int fd) {
    if (static_cast<std::size_t>(fd) >= entries.size() || entries[fd].mask == 0) return;
    epoll_ctl(set, EPOLL_CTL_DEL, fd, nullptr);
    entries[fd].mask = 0;
  }

  int set = -1;
  std::uint64_t stamp = 0;
  std::vector<Entry> entries;  // by descriptor
  // Descriptors in the set, each once, with some that have left it since.
  std::vector<int> members;
  std::vector<epoll_event> ready;
  std::vector<pollfd> fds;  // the events' descriptors and the set's
};

namespace {

int descriptorOf(SocketHandle socket) {
  return socket <= static_cast<SocketHandle>(INT_MAX) ? static_cast<int>(socket) : -1;
}

// How long the set is left out of the wait after it woke the wait for
// nothing: a socket closed here while a copy of it lives on in another
// process (a child between its start and its exec) stays in the set, and
// ready, for that long.
constexpr int kStrayPauseMs = 5;

bool failWith(ErrorCode code) {
  setLastError(code);
  return false;
}

std::uint32_t epollMask(std::uint8_t want) {
  std::uint32_t mask = 0;
  if ((want & kWantRead) != 0) mask |= EPOLLIN;
  if ((want & kWantWrite) != 0) mask |= EPOLLOUT;
  return mask;
}

// Brings the set in line with one socket of this wait. False when the
// descriptor cannot be in a set at all (closed, or no socket).
bool follow(SocketWaitImpl& wait, int fd, std::uint8_t want, std::size_t slot) {
  SocketWaitImpl::Entry& entry = wait.entry(fd);
  entry.stamp = wait.stamp;
  entry.slot = slot;
  if (entry.mask == want) return true;
  epoll_event change{};
  change.events = epollMask(want);
  change.data.fd = fd;
  int op = entry.mask == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
  int result = epoll_ctl(wait.set, op, fd, &change);
  // The descriptor was closed and opened again behind the set's back:
  // what the set had went with the close.
  if (result != 0 && errno == ENOENT && op == EPOLL_CTL_MOD) {
    op = EPOLL_CTL_ADD;
    result = epoll_ctl(wait.set, op, fd, &change);
  }
  if (result != 0 && errno == EEXIST && op == EPOLL_CTL_ADD) {
    result = epoll_ctl(wait.set, EPOLL_CTL_MOD, fd, &change);
  }
  if (result != 0) {
    entry.mask = 0;
    return false;
  }
  if (!entry.listed) wait.members.push_back(fd);
  entry.listed = true;
  entry.mask = want;
  return true;
}

// The sockets registered but not asked about in this wait leave the set.
void dropOthers(SocketWaitImpl& wait) {
  std::size_t kept = 0;
  for (const int fd : wait.members) {
    SocketWaitImpl::Entry& entry = wait.entries[fd];
    if (entry.mask != 0 && entry.stamp != wait.stamp) wait.leave(fd);
    if (entry.mask != 0) {
      wait.members[kept++] = fd;
    } else {
      entry.listed = false;
    }
  }
  wait.members.resize(kept);
}

}  // namespace

SocketWait createSocketWait() {
  const int set = epoll_create1(EPOLL_CLOEXEC);
  if (set < 0) {
    posix::failWithErrno();
    return nullptr;
  }
  auto* wait = new SocketWaitImpl;
  wait->set = set;
  return wait;
}

void closeSocketWait(SocketWait wait) { delete wait; }

bool watchSocket(SocketWait wait, SocketHandle socket) {
  if (wait == nullptr) return failWith(kErrorInvalidHandle);
  const int fd = descriptorOf(socket);
  if (fd < 0) return failWith(kWsaNotSocket);
  // Asked of every connection the daemon accepts, without a system call.
  // A descriptor number seen before belonged to a socket closed since; the
  // set keys its entries by the socket as well as the number, so the new
  // one is not in it, whatever is left of the old. A descriptor that is
  // no socket shows at the wait (kReadyInvalid) or at the first call on it.
  if (static_cast<std::size_t>(fd) < wait->entries.size()) wait->entries[fd].mask = 0;
  return true;
}

bool unwatchSocket(SocketWait wait, SocketHandle socket) {
  if (wait == nullptr) return failWith(kErrorInvalidHandle);
  const int fd = descriptorOf(socket);
  if (fd < 0) return failWith(kWsaNotSocket);
  // Before the socket is handed on: a copy of it in another process would
  // otherwise keep it in the set after the daemon's close.
  wait->leave(fd);
  return true;
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
  fds.push_back({wait->set, POLLIN, 0});

  ++wait->stamp;
  bool invalid = false;
  for (std::size_t i = 0; i < socketCount; ++i) {
    SocketInterest& socket = sockets[i];
    socket.ready = 0;
    const std::uint8_t want = socket.want & (kWantRead | kWantWrite);
    if (want == 0) continue;
    const int fd = descriptorOf(socket.socket);
    if (fd < 0 || !follow(*wait, fd, want, i)) {
      socket.ready = kReadyInvalid;
      invalid = true;
    }
  }
  dropOthers(*wait);
  // Room for every member: one look finds all that are ready.
  if (wait->ready.size() < wait->members.size() || wait->ready.empty()) {
    wait->ready.resize(std::max<std::size_t>(wait->members.size(), 16));
  }

  const Deadline deadline = Deadline::after(timeoutMs);
  for (;;) {
    // A socket that cannot be waited on is news at once. A set that spoke
    // only of sockets not in this wait sits out one short turn rather than
    // waking the wait again at once.
    int timeout = invalid ? 0 : deadline.pollTimeout();
    if (fds.back().fd < 0 && (timeout < 0 || timeout > kStrayPauseMs)) timeout = kStrayPauseMs;
    const int ready = poll(fds.data(), static_cast<nfds_t>(fds.size()), timeout);
    fds.back().fd = wait->set;
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
    bool any = invalid;
    if (fds.back().revents != 0) {
      const int count = epoll_wait(wait->set, wait->ready.data(),
                                   static_cast<int>(wait->ready.size()), 0);
      if (count < 0 && errno != EINTR) {
        posix::failWithErrno();
        return kWaitFailed;
      }
      for (int n = 0; n < count; ++n) {
        const epoll_event& event = wait->ready[n];
        const int fd = event.data.fd;
        if (fd < 0 || static_cast<std::size_t>(fd) >= wait->entries.size()) continue;
        const SocketWaitImpl::Entry& entry = wait->entries[fd];
        // A descriptor closed while a copy of it lived on elsewhere can
        // still be heard from: not one of this wait's.
        if (entry.mask == 0 || entry.stamp != wait->stamp) continue;
        SocketInterest& socket = sockets[entry.slot];
        // An error or a hang-up is reported as whatever was wanted: the
        // next call on the socket says what happened.
        const bool failed = (event.events & (EPOLLERR | EPOLLHUP)) != 0;
        std::uint8_t found = 0;
        if ((socket.want & kWantRead) != 0 && (failed || (event.events & EPOLLIN) != 0)) {
          found |= kWantRead;
        }
        if ((socket.want & kWantWrite) != 0 && (failed || (event.events & EPOLLOUT) != 0)) {
          found |= kWantWrite;
        }
        socket.ready = found;
        any = any || found != 0;
      }
      if (!any) fds.back().fd = -1;
    }
    if (any) return static_cast<std::uint32_t>(eventCount);
    if (deadline.passed()) return kWaitTimeout;
    for (pollfd& entry : fds) entry.revents = 0;
  }
}

}  // namespace platform
