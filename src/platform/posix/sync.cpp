#include "platform/sync.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/deadline.h"
#include "platform/error.h"
#include "platform/posix/state_root.h"
#include "platform/posix/sync_posix.h"

namespace platform {

// An event is an eventfd: signalled while its counter is non-zero. Setting
// a signalled event only raises the counter, and one read takes it back to
// zero, so "set twice, released once" holds as on Windows.
struct EventImpl {
  int fd = -1;
  bool manualReset = false;
};

namespace posix {

int eventDescriptor(EventHandle event) { return event != nullptr ? event->fd : -1; }

}  // namespace posix

namespace {

// Takes the counter to zero. False when it already was (another waiter
// was quicker).
bool drain(int fd) {
  eventfd_t value = 0;
  for (;;) {
    if (read(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value)) return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace

EventHandle createEvent(bool manualReset, bool initiallySignalled) {
  int fd = eventfd(initiallySignalled ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    posix::failWithErrno();
    return nullptr;
  }
  auto* event = new EventImpl;
  event->fd = fd;
  event->manualReset = manualReset;
  return event;
}

bool setEvent(EventHandle event) {
  if (event == nullptr) {
    setLastError(kErrorInvalidHandle);
    return false;
  }
  const eventfd_t one = 1;
  for (;;) {
    if (write(event->fd, &one, sizeof one) == static_cast<ssize_t>(sizeof one)) return true;
    if (errno == EINTR) continue;
    // EAGAIN only when the counter is at its limit: signalled anyway.
    if (errno == EAGAIN) return true;
    return posix::failWithErrno();
  }
}

bool resetEvent(EventHandle event) {
  if (event == nullptr) {
    setLastError(kErrorInvalidHandle);
    return false;
  }
  if (!drain(event->fd) && errno != EAGAIN) return posix::failWithErrno();
  return true;
}

void closeEvent(EventHandle event) {
  if (event == nullptr) return;
  close(event->fd);
  delete event;
}

std::uint32_t waitForEvents(const EventHandle* events, std::size_t count,
                            std::uint32_t timeoutMs) {
  if (events == nullptr || count == 0 || count > kMaximumWaitObjects) {
    setLastError(kErrorInvalidParameter);
    return kWaitFailed;
  }
  pollfd fds[kMaximumWaitObjects];
  for (std::size_t i = 0; i < count; ++i) {
    if (events[i] == nullptr) {
      setLastError(kErrorInvalidParameter);
      return kWaitFailed;
    }
    fds[i].fd = events[i]->fd;
    fds[i].events = POLLIN;
    fds[i].revents = 0;
  }

  const Deadline deadline = Deadline::after(timeoutMs);
  for (;;) {
    int ready = poll(fds, static_cast<nfds_t>(count), deadline.pollTimeout());
    if (ready < 0) {
      if (errno == EINTR) continue;
      posix::failWithErrno();
      return kWaitFailed;
    }
    for (std::size_t i = 0; i < count && ready > 0; ++i) {
      if (fds[i].revents == 0) continue;
      if ((fds[i].revents & (POLLNVAL | POLLERR)) != 0) {
        setLastError(kErrorInvalidHandle);
        return kWaitFailed;
      }
      if (events[i]->manualReset || drain(fds[i].fd)) return static_cast<std::uint32_t>(i);
      // Another waiter took this one; a later index may still be ours.
    }
    if (deadline.passed()) return kWaitTimeout;
  }
}

std::uint32_t waitForEvent(EventHandle event, std::uint32_t timeoutMs) {
  return waitForEvents(&event, 1, timeoutMs);
}

void sleepMs(std::uint32_t ms) {
  if (ms == kInfinite) {
    for (;;) pause();
  }
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

struct Lock::Impl {
  pthread_mutex_t mutex;
};

Lock::Lock() : m_impl(new Impl) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&m_impl->mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

Lock::~Lock() {
  pthread_mutex_destroy(&m_impl->mutex);
  delete m_impl;
}

void Lock::enter() { pthread_mutex_lock(&m_impl->mutex); }

void Lock::leave() { pthread_mutex_unlock(&m_impl->mutex); }

}  // namespace platform
