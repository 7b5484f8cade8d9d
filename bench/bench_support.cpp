#include "bench_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "platform/registry.h"

extern char** environ;

namespace bench {
namespace {

constexpr int kMaxChildren = 16;
volatile pid_t g_children[kMaxChildren];
volatile std::sig_atomic_t g_childCount = 0;
volatile std::sig_atomic_t g_stop = 0;

void remember(pid_t pid) {
  if (pid > 0 && g_childCount < kMaxChildren) {
    g_children[g_childCount] = pid;
    g_childCount = g_childCount + 1;
  }
}

void onStopSignal(int) {
  if (g_stop) _exit(130);
  g_stop = 1;
  for (int i = 0; i < g_childCount; ++i) {
    if (g_children[i] > 0) kill(g_children[i], SIGTERM);
  }
}

// In a fresh child: default signals, death with the parent, quiet output.
void prepareChild(pid_t parent) {
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(1);
  const int null = open("/dev/null", O_WRONLY);
  if (null >= 0) {
    dup2(null, 1);
    dup2(null, 2);
    if (null > 2) close(null);
  }
}

// Every line of the IPv4 and IPv6 socket tables, split into words.
std::vector<std::vector<std::string>> socketTable() {
  std::vector<std::vector<std::string>> rows;
  for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream table(path);
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
      std::istringstream words(line);
      std::vector<std::string> row;
      std::string word;
      while (words >> word) row.push_back(word);
      if (row.size() >= 5) rows.push_back(std::move(row));
    }
  }
  return rows;
}

int portOf(const std::string& address) {
  const auto colon = address.rfind(':');
  return colon == std::string::npos ? -1 : static_cast<int>(std::strtol(address.c_str() + colon + 1, nullptr, 16));
}

}  // namespace

int freePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

std::string binaryDirectory() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return ".";
  path[length] = '\0';
  std::string text(path);
  return text.substr(0, text.rfind('/'));
}

bool setConfig(const std::string& service, const std::string& name, const std::string& value) {
  const std::string path = "SYSTEM\\CurrentControlSet\\Services\\" + service + "\\Config";
  platform::RegKeyHandle key = nullptr;
  if (platform::regCreateKey(platform::localMachine(), path, key) != 0) return false;
  const bool ok = platform::regSetValue(key, name, platform::kRegSz, value.c_str(),
                                        static_cast<std::uint32_t>(value.size() + 1)) == 0;
  platform::regCloseKey(key);
  return ok;
}

pid_t startProgram(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    prepareChild(parent);
    execve(argv[0], argv.data(), environ);
    _exit(127);
  }
  remember(pid);
  return pid;
}

pid_t startChild(void (*body)(int, const std::string&), int port, const std::string& text) {
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    prepareChild(parent);
    body(port, text);
    _exit(0);
  }
  remember(pid);
  return pid;
}

void stopAll() {
  for (int i = 0; i < g_childCount; ++i) {
    const pid_t pid = g_children[i];
    if (pid <= 0) continue;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    g_children[i] = 0;
  }
}

void installStopHandlers() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaction(signalNumber, &action, nullptr);
}

bool stopRequested() { return g_stop != 0; }

long residentKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

TreeMemory treeMemory(pid_t root) {
  // Parent of every process, from /proc/<pid>/stat (the field after the
  // parenthesised name).
  std::multimap<pid_t, pid_t> children;
  if (DIR* proc = opendir("/proc")) {
    while (dirent* entry = readdir(proc)) {
      const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
      if (pid <= 0) continue;
      std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
      std::string text;
      std::getline(stat, text);
      const auto close = text.rfind(')');
      if (close == std::string::npos) continue;
      std::istringstream rest(text.substr(close + 1));
      std::string state;
      pid_t parent = 0;
      rest >> state >> parent;
      children.emplace(parent, pid);
    }
    closedir(proc);
  }
  TreeMemory memory;
  std::vector<pid_t> pending = {root};
  while (!pending.empty()) {
    const pid_t pid = pending.back();
    pending.pop_back();
    const long kilobytes = residentKilobytes(pid);
    if (kilobytes < 0) continue;
    ++memory.processes;
    memory.kilobytes += kilobytes;
    const auto range = children.equal_range(pid);
    for (auto it = range.first; it != range.second; ++it) pending.push_back(it->second);
  }
  return memory;
}

bool waitUntilListening(int port, pid_t owner) {
  for (int i = 0; i < 1000 && !stopRequested(); ++i) {
    for (const auto& row : socketTable()) {
      if (row[3] == "0A" && portOf(row[1]) == port) return true;
    }
    if (owner > 0 && waitpid(owner, nullptr, WNOHANG) == owner) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

PortState portState(int port) {
  PortState state;
  for (const auto& row : socketTable()) {
    if (portOf(row[1]) != port) continue;
    if (row[3] == "0A") {
      // For a listening socket the receive queue is the accept queue.
      const auto colon = row[4].find(':');
      if (colon != std::string::npos) state.queued += std::strtol(row[4].c_str() + colon + 1, nullptr, 16);
    } else if (row[3] == "01") {
      ++state.established;
    }
  }
  return state;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

std::vector<int> parseLevels(const std::string& text) {
  std::vector<int> levels;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t comma = text.find(',', at);
    if (comma == std::string::npos) comma = text.size();
    const int level = std::atoi(text.substr(at, comma - at).c_str());
    if (level <= 0) return {};
    levels.push_back(level);
    at = comma + 1;
  }
  return levels;
}

}  // namespace bench
