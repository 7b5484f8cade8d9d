// Stopping a process for a test. kill() returns as soon as SIGSTOP is
// queued; each thread stops itself only when it next runs, which on a busy
// machine can be a while later. A test that goes on at once races the stop,
// so it waits until /proc shows the process stopped.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace testing_support {

// The state letter of /proc/<pid>/stat; '?' when it cannot be read.
inline char processState(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::stringstream text;
  text << stat.rdbuf();
  const std::string line = text.str();
  const std::string::size_type end = line.rfind(')');
  return end == std::string::npos || end + 2 >= line.size() ? '?' : line[end + 2];
}

// Sends SIGSTOP and waits, within ms, until the process shows as stopped.
inline bool stopProcess(pid_t pid, int ms = 5000) {
  if (kill(pid, SIGSTOP) != 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (processState(pid) != 'T') {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace testing_support
