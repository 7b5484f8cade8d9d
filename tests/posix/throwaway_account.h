// A local account with a known password, for tests that log in for real
// (as root only: nothing else may create one).
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace testing_support {

inline bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

// Removed again when the test ends. A test that needs more than one gives
// each a different tag (a letter or two: names are short).
class ThrowAwayAccount {
 public:
  explicit ThrowAwayAccount(const std::string& tag = "")
      : m_name("vorndpam" + tag + std::to_string(getpid())),
        m_password("Kp-" + tag + std::to_string(getpid()) + "-w9!z") {}
  ~ThrowAwayAccount() {
    if (m_created) run("userdel " + m_name + " >/dev/null 2>&1");
  }

  bool create() {
    run("userdel " + m_name + " >/dev/null 2>&1");  // left by a crashed run
    if (!run("useradd -M -N -s /usr/sbin/nologin " + m_name)) return false;
    m_created = true;
    FILE* pipe = popen("chpasswd", "w");
    if (pipe == nullptr) return false;
    std::fprintf(pipe, "%s:%s\n", m_name.c_str(), m_password.c_str());
    return pclose(pipe) == 0;
  }

  const std::string& name() const { return m_name; }
  const std::string& password() const { return m_password; }

 private:
  std::string m_name;
  std::string m_password;
  bool m_created = false;
};

}  // namespace testing_support
