// Processes as /proc shows them, for the benchmarks that look at what a
// daemon started: who is whose child, and what memory each holds.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

struct ProcessInfo {
  pid_t pid = 0;
  pid_t parent = 0;
  std::string name;
};

struct Memory {
  long rssKb = -1;
  long privateKb = -1;  // Private_Clean + Private_Dirty
  long threads = 0;
};

// Every process /proc shows now, with its parent and its name.
std::vector<ProcessInfo> processes();
// The children of parent that bear the name.
std::vector<pid_t> childrenNamed(pid_t parent, const std::string& name);
// Every descendant of the roots, found now.
std::vector<pid_t> descendants(const std::vector<pid_t>& roots);
// Its resident and private memory and its threads; -1 where unknown.
Memory memoryOf(pid_t pid);

}  // namespace bench
