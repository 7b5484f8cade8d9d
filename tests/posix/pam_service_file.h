// The PAM service "vornd" given a stack of a test's own for as long as the
// object lives. The service file that was there before comes back when the
// object goes, byte for byte and with its mode (one that was absent is
// removed again). Tests run as processes side by side: while one has the
// file replaced, another that wants to replace it waits (a lock on a file
// in /tmp), so that none takes another's stack for the original. Needs
// root.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace testing_support {

class PamServiceFile {
 public:
  static constexpr const char* kServiceFile = "/etc/pam.d/vornd";
  static constexpr const char* kLockFile = "/tmp/vornd-pam-tests.lock";

  PamServiceFile() = default;
  ~PamServiceFile() { restore(); }
  PamServiceFile(const PamServiceFile&) = delete;
  PamServiceFile& operator=(const PamServiceFile&) = delete;

  // False when the file could not be written (nothing is changed then).
  bool install(const std::string& stack) { return install(stack, false); }
  // The lines ahead of the stack the service had before (its file, or
  // "other" when it had none).
  bool installAhead(const std::string& lines) { return install(lines, true); }

  bool installed() const { return m_installed; }

  // Puts the earlier state back; the destructor does it too.
  bool restore() {
    if (!m_installed) return true;
    const bool ok = m_existed ? replaceWith(m_original, m_mode) : std::remove(kServiceFile) == 0;
    m_installed = !ok;
    if (ok) unlock();
    return ok;
  }

 private:
  bool install(const std::string& text, bool ahead) {
    if (!m_installed) {
      if (!lock()) return false;
      struct stat info;
      m_existed = stat(kServiceFile, &info) == 0;
      m_mode = m_existed ? (info.st_mode & 07777) : 0644;
      m_original.clear();
      if (m_existed) {
        std::ifstream in(kServiceFile, std::ios::binary);
        std::ostringstream read;
        read << in.rdbuf();
        if (!in) {
          unlock();
          return false;
        }
        m_original = read.str();
      }
    }
    const std::string before = m_existed ? m_original : "@include other\n";
    if (!replaceWith(ahead ? text + before : text, 0644)) {
      if (!m_installed) unlock();
      return false;
    }
    m_installed = true;
    return true;
  }

  bool lock() {
    m_lock = open(kLockFile, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lock < 0) return false;
    while (flock(m_lock, LOCK_EX) != 0) {
      if (errno != EINTR) {
        unlock();
        return false;
      }
    }
    return true;
  }
  void unlock() {
    if (m_lock >= 0) close(m_lock);
    m_lock = -1;
  }

  // Written beside the file and renamed over it, so that PAM in another
  // process never reads half a file.
  static bool replaceWith(const std::string& text, mode_t mode) {
    const std::string temporary =
        std::string(kServiceFile) + ".test-" + std::to_string(getpid());
    {
      std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
      out << text;
      out.close();
      if (!out) {
        std::remove(temporary.c_str());
        return false;
      }
    }
    if (chmod(temporary.c_str(), mode) != 0 || std::rename(temporary.c_str(), kServiceFile) != 0) {
      std::remove(temporary.c_str());
      return false;
    }
    return true;
  }

  int m_lock = -1;
  bool m_installed = false;
  bool m_existed = false;
  mode_t m_mode = 0644;
  std::string m_original;
};

}  // namespace testing_support
