// The PAM service "vornd" made slow for one account: its check first runs
// a sleep (pam_exec), then goes on as the service would have gone on
// without it, so the verdict is the usual one, only late. For tests of
// logons that overlap or overrun. The earlier service file comes back when
// the object goes (PamServiceFile). Needs root.
#pragma once

#include <string>

#include "posix/pam_service_file.h"

namespace testing_support {

class SlowPamStack {
 public:
  static constexpr const char* kServiceFile = PamServiceFile::kServiceFile;

  SlowPamStack(std::string account, unsigned seconds)
      : m_account(std::move(account)), m_seconds(seconds) {}

  // False when the file could not be written (nothing is changed then).
  bool install() {
    if (m_file.installed()) return true;
    const std::string slow =
        "#%PAM-1.0\n"
        "# A vornd test's: " + std::to_string(m_seconds) + " s more for " + m_account + ".\n"
        "auth [success=ignore default=1] pam_succeed_if.so quiet user = " + m_account + "\n"
        "auth optional pam_exec.so quiet /bin/sleep " + std::to_string(m_seconds) + "\n";
    return m_file.installAhead(slow);
  }
  bool restore() { return m_file.restore(); }

 private:
  std::string m_account;
  unsigned m_seconds;
  PamServiceFile m_file;
};

}  // namespace testing_support
