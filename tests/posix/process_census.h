// What this process holds, as /proc shows it: open descriptors, resident
// memory and unreaped children. A daemon run in-process leaks into these
// figures, so tests of what it leaves behind compare them before and after.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/engine_reaper.h"

namespace testing_support {

inline int openDescriptors() {
  int count = 0;
  if (DIR* folder = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(folder)) count += entry->d_name[0] != '.';
    closedir(folder);
  }
  return count - 1;  // the listing's own
}

// The highest descriptor open; -1 when none is.
inline int highestDescriptor() {
  int highest = -1;
  if (DIR* folder = opendir("/proc/self/fd")) {
    const int own = dirfd(folder);
    while (dirent* entry = readdir(folder)) {
      if (entry->d_name[0] == '.') continue;
      const int fd = std::atoi(entry->d_name);
      if (fd != own && fd > highest) highest = fd;
    }
    closedir(folder);
  }
  return highest;
}

inline long residentKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Children of this process that have ended and were not reaped.
inline int zombieChildren() {
  int zombies = 0;
  const std::string self = std::to_string(getpid());
  DIR* folder = opendir("/proc");
  if (folder == nullptr) return -1;
  while (dirent* entry = readdir(folder)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string text;
    std::getline(stat, text);
    // pid (name) state ppid ...: the name may hold blanks, so parse after ')'.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    char parent[32] = {};
    if (std::sscanf(text.c_str() + close + 1, " %c %31s", &state, parent) == 2 &&
        state == 'Z' && self == parent) {
      ++zombies;
    }
  }
  closedir(folder);
  return zombies;
}

// One line of /proc/<pid>/stat, the fields tests look at.
struct ProcessStat {
  int pid = 0;
  char state = 0;
  int parent = 0;
  int session = 0;
};

// Every process /proc shows at this moment.
inline std::vector<ProcessStat> allProcesses() {
  std::vector<ProcessStat> found;
  DIR* folder = opendir("/proc");
  if (folder == nullptr) return found;
  while (dirent* entry = readdir(folder)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string text;
    std::getline(stat, text);
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    ProcessStat process;
    process.pid = std::atoi(entry->d_name);
    int group = 0;
    if (std::sscanf(text.c_str() + close + 1, " %c %d %d %d", &process.state, &process.parent,
                    &group, &process.session) == 4) {
      found.push_back(process);
    }
  }
  closedir(folder);
  return found;
}

// Children of this process, running or ended and not reaped.
inline std::vector<int> childProcesses() {
  std::vector<int> children;
  for (const ProcessStat& process : allProcesses()) {
    if (process.parent == getpid()) children.push_back(process.pid);
  }
  return children;
}

// Waits (at most limitMs) until the daemon's reaper has collected every
// engine it started.
inline bool waitUntilAllReaped(int limitMs = 3000) {
  for (int waited = 0; waited < limitMs && platform::posix::enginesNotReaped() != 0;
       waited += 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return platform::posix::enginesNotReaped() == 0;
}

}  // namespace testing_support
