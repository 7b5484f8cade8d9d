// The PAM service "vornd" made slow for one account: its check first runs
// a sleep (pam_exec), then goes on as the service would have gone on
// without it, so the verdict is the usual one, only late. For tests of
// logons that overlap or overrun. The service file that was there before
// comes back when the object goes, byte for byte and with its mode (one
// that was absent is removed again). Needs root.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace testing_support {

class SlowPamStack {
 public:
  static constexpr const char* kServiceFile = "/etc/pam.d/vornd";

  SlowPamStack(std::string account, unsigned seconds)
      : m_account(std::move(account)), m_seconds(seconds) {}
  ~SlowPamStack() { restore(); }
  SlowPamStack(const SlowPamStack&) = delete;
  SlowPamStack& operator=(const SlowPamStack&) = delete;

  // False when the file could not be written (nothing is changed then).
  bool install() {
    if (m_installed) return true;
    struct stat info;
    m_existed = stat(kServiceFile, &info) == 0;
    m_mode = m_existed ? (info.st_mode & 07777) : 0644;
    if (m_existed) {
      std::ifstream in(kServiceFile, std::ios::binary);
      std::ostringstream text;
      text << in.rdbuf();
      if (!in) return false;
      m_original = text.str();
    }
    // Without a file of its own the service is served by "other".
    const std::string rest = m_existed ? m_original : "@include other\n";
    const std::string slow =
        "#%PAM-1.0\n"
        "# A vornd test's: " + std::to_string(m_seconds) + " s more for " + m_account + ".\n"
        "auth [success=ignore default=1] pam_succeed_if.so quiet user = " + m_account + "\n"
        "auth optional pam_exec.so quiet /bin/sleep " + std::to_string(m_seconds) + "\n";
    if (!replaceWith(slow + rest, 0644)) return false;
    m_installed = true;
    return true;
  }

  // Puts the earlier state back; the destructor does it too.
  bool restore() {
    if (!m_installed) return true;
    const bool ok = m_existed ? replaceWith(m_original, m_mode) : std::remove(kServiceFile) == 0;
    m_installed = !ok;
    return ok;
  }

 private:
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

  std::string m_account;
  unsigned m_seconds;
  bool m_installed = false;
  bool m_existed = false;
  mode_t m_mode = 0644;
  std::string m_original;
};

}  // namespace testing_support
