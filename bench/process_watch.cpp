#include "process_watch.h"

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "bench_support.h"

namespace bench {

std::vector<ProcessInfo> processes() {
  std::vector<ProcessInfo> all;
  if (DIR* proc = opendir("/proc")) {
    while (dirent* entry = readdir(proc)) {
      const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
      if (pid <= 0) continue;
      std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
      std::string text;
      std::getline(stat, text);
      const auto open = text.find('(');
      const auto close = text.rfind(')');
      if (open == std::string::npos || close == std::string::npos) continue;
      ProcessInfo info;
      info.pid = pid;
      info.name = text.substr(open + 1, close - open - 1);
      std::istringstream rest(text.substr(close + 1));
      std::string state;
      rest >> state >> info.parent;
      all.push_back(info);
    }
    closedir(proc);
  }
  return all;
}

std::vector<pid_t> childrenNamed(pid_t parent, const std::string& name) {
  std::vector<pid_t> found;
  for (const ProcessInfo& info : processes()) {
    if (info.parent == parent && info.name == name) found.push_back(info.pid);
  }
  return found;
}

// Every descendant of the roots, found now.
std::vector<pid_t> descendants(const std::vector<pid_t>& roots) {
  const std::vector<ProcessInfo> all = processes();
  std::vector<pid_t> found, pending = roots;
  while (!pending.empty()) {
    const pid_t pid = pending.back();
    pending.pop_back();
    for (const ProcessInfo& info : all) {
      if (info.parent == pid) {
        found.push_back(info.pid);
        pending.push_back(info.pid);
      }
    }
  }
  return found;
}


Memory memoryOf(pid_t pid) {
  Memory memory;
  memory.rssKb = bench::residentKilobytes(pid);
  std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
  std::string line;
  long total = 0;
  bool seen = false;
  while (std::getline(rollup, line)) {
    if (line.rfind("Private_Clean:", 0) == 0 || line.rfind("Private_Dirty:", 0) == 0) {
      total += std::atol(line.c_str() + line.find(':') + 1);
      seen = true;
    }
  }
  if (seen) memory.privateKb = total;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) memory.threads = std::atol(line.c_str() + 8);
  }
  return memory;
}

}  // namespace bench
