// The daemon as a process of its own (vornd -debug), for what only a
// process of its own shows: its descriptors, its processor time, its
// memory. Its settings are in a throw-away service key.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "free_port.h"
#include "platform/net.h"
#include "registry_fixture.h"
#include "service_host.h"
#include "serving_fixture.h"

namespace testing_support {

class DaemonProcess : public ::testing::Test {
 protected:
  DaemonProcess()
      : m_name(uniqueName("daemonproc")),
        m_key("SYSTEM\\CurrentControlSet\\Services\\" + m_name),
        m_port(freePort()) {
    platform::startSockets();
    config("SockPort", std::to_string(m_port));
    config("CreateDesktop", "No");
    config("VornExecutable", serviceHostCommandLine("engine-probe", "quiet"));
  }
  ~DaemonProcess() override {
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      for (int waited = 0; waited < 5000 && waitpid(m_pid, nullptr, WNOHANG) == 0; waited += 50) {
        usleep(50000);
      }
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
    platform::cleanupSockets();
  }
  void config(const std::string& name, const std::string& text) {
    ASSERT_EQ(0u, m_key.setText("Config", name, text));
  }
  void environment(const std::string& name, const std::string& text) {
    ASSERT_EQ(0u, m_key.setText("Environment", name, text));
  }
  // Starts it, with at most `descriptors` open when that is not 0, and
  // waits until it listens.
  void start(rlim_t descriptors = 0) {
    const std::string program = std::string(VORND_BINARY_DIR) + "/vornd";
    m_pid = fork();
    if (m_pid == 0) {
      if (descriptors != 0) {
        const rlimit limit{descriptors, descriptors};
        setrlimit(RLIMIT_NOFILE, &limit);
      }
      for (int fd = 3; fd < 4096; ++fd) close(fd);
      execl(program.c_str(), program.c_str(), "-debug", m_name.c_str(), nullptr);
      _exit(127);
    }
    for (int waited = 0; waited < 10000; waited += 50) {
      Client probe(m_port);
      if (probe.connected()) return;
      platform::sleepMs(50);
    }
    FAIL() << "the daemon did not listen";
  }
  // Its processor time so far, in clock ticks.
  long cpuTicks() const {
    const std::string text = procFile("stat");
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    // The state is field 3; utime and stime are 14 and 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i >= 14) ticks += std::stol(field);
    }
    return ticks;
  }
  int descriptors() const {
    const std::filesystem::path folder = "/proc/" + std::to_string(m_pid) + "/fd";
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(folder),
                                          std::filesystem::directory_iterator()));
  }
  long residentKilobytes() const {
    std::istringstream lines(procFile("status"));
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
  }

  std::string m_name;
  ScopedRegistryKey m_key;
  std::uint16_t m_port;
  pid_t m_pid = -1;

 private:
  std::string procFile(const std::string& name) const {
    std::ifstream in("/proc/" + std::to_string(m_pid) + "/" + name);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
};

}  // namespace testing_support
