// The PAM service "vornd" given a stack of a test's own for as long as the
// object lives. The service file that was there before comes back when the
// object goes, byte for byte and with its mode (one that was absent is
// removed again). Needs root.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace testing_support {

class PamServiceFile {
 public:
  static constexpr const char* kServiceFile = "/etc/pam.d/vornd";

  PamServiceFile() = default;
  ~PamServiceFile() { restore(); }
  PamServiceFile(const PamServiceFile&) = delete;
  PamServiceFile& operator=(const PamServiceFile&) = delete;

  // The stack the service has now: its file, or "other" when it has none.
  static std::string currentStack() {
    std::ifstream in(kServiceFile, std::ios::binary);
    if (!in) return "@include other\n";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // False when the file could not be written (nothing is changed then).
  bool install(const std::string& stack) {
    if (!m_installed) {
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
    }
    if (!replaceWith(stack, 0644)) return false;
    m_installed = true;
    return true;
  }

  bool installed() const { return m_installed; }

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

  bool m_installed = false;
  bool m_existed = false;
  mode_t m_mode = 0644;
  std::string m_original;
};

}  // namespace testing_support
