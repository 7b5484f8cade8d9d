#include "platform/posix/process_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace platform::posix {

namespace {

// How long the stopping may go on before whatever was found is killed as
// it is (a process stuck in the kernel does not stop until it comes out).
constexpr auto kStoppingLimit = std::chrono::milliseconds(200);

struct Entry {
  pid_t pid;
  pid_t parent;
  char state;
};

// pid (name) state ppid ...: the name may hold anything, so the fields are
// read after the last ')'.
bool readStat(pid_t pid, Entry& entry) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[512];
  const ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got <= 0) return false;
  text[got] = '\0';
  const char* close = std::strrchr(text, ')');
  int parent = 0;
  if (close == nullptr || std::sscanf(close + 1, " %c %d", &entry.state, &parent) != 2) {
    return false;
  }
  entry.pid = pid;
  entry.parent = parent;
  return true;
}

std::vector<Entry> processes() {
  std::vector<Entry> found;
  DIR* folder = opendir("/proc");
  if (folder == nullptr) return found;
  while (const dirent* item = readdir(folder)) {
    char* end = nullptr;
    const long pid = std::strtol(item->d_name, &end, 10);
    Entry entry;
    if (pid > 0 && *end == '\0' && readStat(static_cast<pid_t>(pid), entry)) {
      found.push_back(entry);
    }
  }
  closedir(folder);
  return found;
}

bool contains(const std::vector<pid_t>& tree, pid_t pid) {
  return std::find(tree.begin(), tree.end(), pid) != tree.end();
}

}  // namespace

void killProcessTree(pid_t child) {
  std::vector<pid_t> tree{child};
  kill(child, SIGSTOP);
  const auto end = std::chrono::steady_clock::now() + kStoppingLimit;
  for (;;) {
    // A round that finds nothing new while everything found is stopped
    // (or ended) has seen the whole tree.
    bool settled = true;
    for (const Entry& entry : processes()) {
      if (contains(tree, entry.pid)) {
        if (entry.state != 'T' && entry.state != 't' && entry.state != 'Z' &&
            entry.state != 'X') {
          settled = false;
        }
      } else if (contains(tree, entry.parent)) {
        tree.push_back(entry.pid);
        kill(entry.pid, SIGSTOP);
        settled = false;
      }
    }
    if (settled || std::chrono::steady_clock::now() > end) break;
    sched_yield();
  }
  for (const pid_t pid : tree) kill(pid, SIGKILL);
}

}  // namespace platform::posix
