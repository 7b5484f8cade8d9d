// Small owners for the service manager's code: a descriptor, a registry
// key, an exclusive file lock, each let go with its owner.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/error.h"
#include "platform/posix/state_root.h"
#include "platform/registry.h"

namespace platform::posix {

class Fd {
 public:
  explicit Fd(int fd = -1) : m_fd(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return m_fd; }
  void reset(int fd = -1) {
    if (m_fd >= 0) close(m_fd);
    m_fd = fd;
  }
  int release() {
    int fd = m_fd;
    m_fd = -1;
    return fd;
  }

 private:
  int m_fd;
};

class RegKey {
 public:
  RegKey() = default;
  ~RegKey() {
    if (m_key != nullptr) regCloseKey(m_key);
  }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  RegKeyHandle& out() { return m_key; }
  RegKeyHandle get() const { return m_key; }

 private:
  RegKeyHandle m_key = nullptr;
};

// An exclusive flock held for the owner's lifetime.
class FileLock {
 public:
  ~FileLock() {
    if (m_fd >= 0) close(m_fd);
  }
  bool acquire(const std::string& path) {
    m_fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0) return failWithErrno();
    int rc;
    do {
      rc = flock(m_fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 || failWithErrno();
  }

 private:
  int m_fd = -1;
};

}  // namespace platform::posix
