#include "platform/posix/engine_reaper.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace platform::posix {

namespace {

// Each child is watched through a process descriptor in an epoll set,
// which the reaping thread sleeps on: adopting a child wakes nobody, and
// a wake reaps just the children that ended. Where the kernel has no
// process descriptors, the thread looks at those children twice a second
// instead.
constexpr int kPollWithoutDescriptorsMs = 500;
constexpr int kReadyAtOnce = 64;

// What an entry of the set carries: the child and its descriptor. The
// wake-up's entry carries no child.
std::uint64_t packChild(pid_t pid, int descriptor) {
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(pid)) << 32) |
         static_cast<std::uint32_t>(descriptor);
}

class Reaper {
 public:
  void adopt(pid_t pid) {
    const int descriptor = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_set < 0 && !start()) {
      // No thread to reap with: the child is reaped by the next adopt
      // that finds it ended.
      if (descriptor >= 0) close(descriptor);
      reapUnwatched();
      m_unwatched.push_back(pid);
      return;
    }
    if (descriptor >= 0) {
      epoll_event entry{};
      entry.events = EPOLLIN;
      entry.data.u64 = packChild(pid, descriptor);
      if (epoll_ctl(m_set, EPOLL_CTL_ADD, descriptor, &entry) == 0) {
        ++m_watched;
        return;
      }
      close(descriptor);
    }
    m_unwatched.push_back(pid);
    // The thread may be asleep with no bound: it must start looking.
    if (m_unwatched.size() == 1) wake();
  }

  std::size_t pending() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_watched + m_unwatched.size();
  }

 private:
  // Under the lock.
  bool start() {
    m_set = epoll_create1(EPOLL_CLOEXEC);
    m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event entry{};
    entry.events = EPOLLIN;
    entry.data.u64 = packChild(0, m_wake);
    bool ready = m_set >= 0 && m_wake >= 0 && epoll_ctl(m_set, EPOLL_CTL_ADD, m_wake, &entry) == 0;
    if (ready) {
      try {
        // The thread lives as long as the process; it only ever sleeps
        // when there is nothing to reap.
        std::thread([this] { run(); }).detach();
      } catch (...) {
        ready = false;
      }
    }
    if (!ready) {
      if (m_set >= 0) close(m_set);
      if (m_wake >= 0) close(m_wake);
      m_set = m_wake = -1;
    }
    return ready;
  }

  void wake() {
    const std::uint64_t one = 1;
    ssize_t ignored = write(m_wake, &one, sizeof one);
    (void)ignored;
  }

  void run() {
    epoll_event ready[kReadyAtOnce];
    for (;;) {
      int timeout;
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        reapUnwatched();
        timeout = m_unwatched.empty() ? -1 : kPollWithoutDescriptorsMs;
      }
      const int count = epoll_wait(m_set, ready, kReadyAtOnce, timeout);
      if (count <= 0) continue;
      std::lock_guard<std::mutex> lock(m_mutex);
      for (int i = 0; i < count; ++i) {
        const pid_t pid = static_cast<pid_t>(ready[i].data.u64 >> 32);
        const int descriptor = static_cast<int>(ready[i].data.u64 & 0xffffffffu);
        if (pid == 0) {
          std::uint64_t ignored;
          ssize_t got = read(m_wake, &ignored, sizeof ignored);
          (void)got;
          continue;
        }
        int status;
        const pid_t result = waitpid(pid, &status, WNOHANG);
        epoll_ctl(m_set, EPOLL_CTL_DEL, descriptor, nullptr);
        close(descriptor);
        --m_watched;
        // Readable yet not ended: looked at with those that have no
        // descriptor, rather than waking this thread again and again.
        if (result == 0) m_unwatched.push_back(pid);
      }
    }
  }

  // Under the lock: collects every child without a descriptor that has
  // ended.
  void reapUnwatched() {
    for (std::size_t i = 0; i < m_unwatched.size();) {
      int status;
      const pid_t result = waitpid(m_unwatched[i], &status, WNOHANG);
      // 0: still running. Anything else ends the watch: the child was
      // reaped now, or (ECHILD) someone reaped it already.
      if (result == 0 || (result < 0 && errno == EINTR)) {
        ++i;
        continue;
      }
      m_unwatched[i] = m_unwatched.back();
      m_unwatched.pop_back();
    }
  }

  std::mutex m_mutex;
  int m_set = -1;
  int m_wake = -1;
  // Children in the set, each with its descriptor.
  std::size_t m_watched = 0;
  // Children without one (or whose descriptor spoke too soon).
  std::vector<pid_t> m_unwatched;
};

// Never destroyed: its thread may run until the very end of the process.
Reaper& reaper() {
  static Reaper* instance = new Reaper;
  return *instance;
}

}  // namespace

void adoptEngine(pid_t pid) { reaper().adopt(pid); }

std::size_t enginesNotReaped() { return reaper().pending(); }

}  // namespace platform::posix
