#include "platform/posix/engine_reaper.h"

#include <poll.h>
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

// Each child is watched through a process descriptor, which becomes
// readable when the child ends; where the kernel has none, the children
// are looked at twice a second instead.
constexpr int kPollWithoutDescriptorsMs = 500;

struct Child {
  pid_t pid;
  int descriptor;  // -1: none
};

class Reaper {
 public:
  void adopt(pid_t pid) {
    const int descriptor = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_wake < 0) start();
    m_children.push_back(Child{pid, descriptor});
    wake();
  }

  std::size_t pending() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_children.size();
  }

 private:
  void start() {
    m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // The thread lives as long as the process; it only ever sleeps in
    // poll when there is nothing to reap.
    std::thread([this] { run(); }).detach();
  }

  void wake() {
    const std::uint64_t one = 1;
    if (m_wake >= 0) {
      ssize_t ignored = write(m_wake, &one, sizeof one);
      (void)ignored;
    }
  }

  void run() {
    std::vector<pollfd> watched;
    for (;;) {
      int timeout = -1;
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        reapEnded();
        watched.assign(1, pollfd{m_wake, POLLIN, 0});
        for (const Child& child : m_children) {
          if (child.descriptor >= 0) {
            watched.push_back(pollfd{child.descriptor, POLLIN, 0});
          } else {
            timeout = kPollWithoutDescriptorsMs;
          }
        }
      }
      if (poll(watched.data(), watched.size(), timeout) > 0 && (watched[0].revents & POLLIN)) {
        std::uint64_t count;
        ssize_t ignored = read(m_wake, &count, sizeof count);
        (void)ignored;
      }
    }
  }

  // Under the lock: collects every adopted child that has ended.
  void reapEnded() {
    for (std::size_t i = 0; i < m_children.size();) {
      int status;
      const pid_t result = waitpid(m_children[i].pid, &status, WNOHANG);
      // 0: still running. Anything else ends the watch: the child was
      // reaped now, or (ECHILD) someone reaped it already.
      if (result == 0 || (result < 0 && errno == EINTR)) {
        ++i;
        continue;
      }
      if (m_children[i].descriptor >= 0) close(m_children[i].descriptor);
      m_children[i] = m_children.back();
      m_children.pop_back();
    }
  }

  std::mutex m_mutex;
  int m_wake = -1;
  std::vector<Child> m_children;
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
