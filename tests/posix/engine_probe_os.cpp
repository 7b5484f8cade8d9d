// What a POSIX process was given: environ, /proc/self/fd and its ids.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "engine_probe.h"

extern char** environ;

namespace testing_support {

std::vector<std::string> probeEnvironment() {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) entries.emplace_back(*entry);
  return entries;
}

std::string probeIdentityLines() {
  std::string lines;
  if (DIR* folder = opendir("/proc/self/fd")) {
    std::vector<int> open;
    while (dirent* entry = readdir(folder)) {
      if (entry->d_name[0] == '.') continue;
      const int fd = std::atoi(entry->d_name);
      if (fd != dirfd(folder)) open.push_back(fd);
    }
    closedir(folder);
    std::sort(open.begin(), open.end());
    for (int fd : open) lines += "fd=" + std::to_string(fd) + "\n";
    for (int fd : open) {
      char target[4096];
      const std::string link = "/proc/self/fd/" + std::to_string(fd);
      const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
      if (length > 0 && target[0] == '/') lines += "file=" + std::string(target, length) + "\n";
    }
  }
  lines += "uid=" + std::to_string(getuid()) + "\ngid=" + std::to_string(getgid()) + "\n";
  std::vector<gid_t> groups(static_cast<std::size_t>(getgroups(0, nullptr)) + 1);
  groups.resize(static_cast<std::size_t>(std::max(0, getgroups(static_cast<int>(groups.size()),
                                                               groups.data()))));
  std::sort(groups.begin(), groups.end());
  std::string list;
  for (gid_t group : groups) list += (list.empty() ? "" : ",") + std::to_string(group);
  lines += "groups=" + list + "\n";
  return lines;
}

}  // namespace testing_support
