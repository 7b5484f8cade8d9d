// Accepted logins per second, each handed to a trivial engine, over
// sequential clients: connect, send the 331-byte record, read the 2-byte
// reply, and wait until the engine's end closes the connection.
//
// Three servers take turns in every round, on the same machine and load:
//
//   floor      a minimal serial server in this program: accept, read 331
//              bytes, write 2, posix_spawn the engine with the socket
//   tcpserver  the ucspi-tcp program, without its name and ident look-ups
//              (-R -H -l 0), running the exchange child
//              (vornd_bench_exchange) on its standard input and output
//   vornd      the daemon in the console, method "Vorn", the engine as
//              VornExecutable, in a throw-away state root
//
//   vornd_bench_launch [--count N] [--rounds R] [--engine PATH] [--wait end|reply]
//
// With --wait reply a client closes once it has its reply, so the rate is
// what each server can take on, its engines running beside it.
//
// It prints each round, the median rate of each server, the ratios, and
// the resident memory of the idle daemon and of idle tcpserver.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"

extern char** environ;

namespace {

constexpr std::size_t kLoginSize = 331;

struct Options {
  long count = 2000;
  int rounds = 5;
  std::string engine = "/bin/true";
  // The client's wait: until the engine's end closes the connection, or
  // only until the reply (the server's own cost per login).
  bool untilEnd = true;
};

std::string binaryDirectory() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return ".";
  path[length] = '\0';
  std::string text(path);
  return text.substr(0, text.rfind('/'));
}

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

bool readExactly(int fd, char* buffer, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = read(fd, buffer + got, size - got);
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

// One client: true when the reply was the acceptance and the connection
// then ended.
bool oneLogin(int port, bool untilEnd) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  char record[kLoginSize] = {'b', 'e', 'n', 'c', 'h'};
  ok = ok && write(fd, record, sizeof record) == static_cast<ssize_t>(sizeof record);
  char reply[2];
  ok = ok && readExactly(fd, reply, 2) && reply[0] == 0 && reply[1] == 1;
  char rest;
  ok = ok && (!untilEnd || read(fd, &rest, 1) == 0);
  close(fd);
  return ok;
}

bool waitForListener(int port) {
  for (int i = 0; i < 500; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    if (up) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// The floor: the least a server must do per accepted login.
[[noreturn]] void serveFloor(int port, const std::string& engine) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 64) != 0) {
    _exit(3);
  }
  for (;;) {
    const int client = accept(listener, nullptr, nullptr);  // inheritable
    if (client < 0) continue;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    char record[kLoginSize];
    if (readExactly(client, record, sizeof record)) {
      const char reply[2] = {0, 1};
      if (write(client, reply, 2) == 2) {
        const std::string socketArgument = "-f=" + std::to_string(client);
        char* argv[] = {const_cast<char*>(engine.c_str()),
                        const_cast<char*>(socketArgument.c_str()), nullptr};
        char* noEnvironment[] = {nullptr};
        pid_t pid;
        posix_spawn(&pid, engine.c_str(), nullptr, nullptr, argv, noEnvironment);
      }
    }
    close(client);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
  }
}

pid_t spawnProgram(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

long residentKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

bool setConfig(const std::string& name, const std::string& value) {
  const std::string path = "SYSTEM\\CurrentControlSet\\Services\\bench\\Config";
  platform::RegKeyHandle key = nullptr;
  if (platform::regCreateKey(platform::localMachine(), path, key) != 0) return false;
  const bool ok = platform::regSetValue(key, name, platform::kRegSz, value.c_str(),
                                        static_cast<std::uint32_t>(value.size() + 1)) == 0;
  platform::regCloseKey(key);
  return ok;
}

struct Server {
  explicit Server(const char* serverName) : name(serverName) {}
  const char* name;
  int port = 0;
  pid_t pid = -1;
  std::vector<double> rates;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string word = argv[i];
    if (word == "--count") options.count = std::atol(argv[i + 1]);
    else if (word == "--rounds") options.rounds = std::atoi(argv[i + 1]);
    else if (word == "--engine") options.engine = argv[i + 1];
    else if (word == "--wait" && std::string(argv[i + 1]) == "reply") options.untilEnd = false;
    else if (word == "--wait" && std::string(argv[i + 1]) == "end") options.untilEnd = true;
    else {
      std::fprintf(stderr,
                   "usage: vornd_bench_launch [--count N] [--rounds R] [--engine PATH]"
                   " [--wait end|reply]\n");
      return 2;
    }
  }
  if (options.count <= 0 || options.rounds <= 0) return 2;
  signal(SIGPIPE, SIG_IGN);
  const std::string bin = binaryDirectory();

  // A throw-away state root for the daemon's registry.
  char rootTemplate[] = "/tmp/vornd-bench-XXXXXX";
  if (mkdtemp(rootTemplate) == nullptr) return 2;
  setenv("VORND_ROOT", rootTemplate, 1);

  Server floor("floor"), tcp("tcpserver"), daemon("vornd");
  floor.port = freePort();
  floor.pid = fork();
  if (floor.pid == 0) serveFloor(floor.port, options.engine);

  tcp.port = freePort();
  tcp.pid = spawnProgram({"/usr/bin/tcpserver", "-q", "-R", "-H", "-l", "0", "-c", "1000", "127.0.0.1",
                          std::to_string(tcp.port), bin + "/vornd_bench_exchange"});

  daemon.port = freePort();
  bool configured = setConfig("SockPort", std::to_string(daemon.port)) &&
                    setConfig("AuthenticationMethod", "Vorn") &&
                    setConfig("VornExecutable", options.engine) &&
                    setConfig("CreateDesktop", "No") && setConfig("LogCreate", "No");
  daemon.pid = configured ? spawnProgram({bin + "/vornd", "-debug", "bench"}) : -1;

  int status = 0;
  std::vector<Server*> servers = {&floor, &tcp, &daemon};
  for (Server* server : servers) {
    if (server->pid < 0 || !waitForListener(server->port)) {
      std::fprintf(stderr, "%s did not start%s\n", server->name,
                   server == &tcp ? " (is ucspi-tcp installed?)" : "");
      status = 1;
    }
  }
  long daemonIdle = 0, tcpIdle = 0;
  if (status == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    daemonIdle = residentKilobytes(daemon.pid);
    tcpIdle = residentKilobytes(tcp.pid);
    std::printf("accepted logins per second, %ld sequential clients a round, engine %s, "
                "each client waiting %s\n",
                options.count, options.engine.c_str(),
                options.untilEnd ? "until the engine's end closes the connection"
                                 : "for the reply only");
    for (int round = 0; round <= options.rounds && status == 0; ++round) {
      for (Server* server : servers) {
        // Round 0 warms everything up and is not counted.
        const long count = round == 0 ? options.count / 4 + 1 : options.count;
        const auto start = std::chrono::steady_clock::now();
        for (long i = 0; i < count; ++i) {
          if (!oneLogin(server->port, options.untilEnd)) {
            std::fprintf(stderr, "%s: login %ld failed\n", server->name, i);
            status = 1;
            break;
          }
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (round > 0 && status == 0) {
          server->rates.push_back(count / seconds);
          std::printf("round %d  %-9s %8.0f/s\n", round, server->name, count / seconds);
        }
      }
    }
  }
  if (status == 0) {
    const double f = median(floor.rates), t = median(tcp.rates), d = median(daemon.rates);
    std::printf("\nmedian    floor %.0f/s   tcpserver %.0f/s   vornd %.0f/s\n", f, t, d);
    std::printf("vornd / tcpserver = %.3f   (goal >= 1.2)\n", d / t);
    std::printf("vornd / floor     = %.3f   (goal >= 0.95)\n", d / f);
    std::printf("idle resident memory: vornd %ld kB, tcpserver %ld kB\n", daemonIdle, tcpIdle);
  }
  for (Server* server : servers) {
    if (server->pid > 0) {
      kill(server->pid, SIGTERM);
      waitpid(server->pid, nullptr, 0);
    }
  }
  std::string remove = std::string("rm -rf ") + rootTemplate;
  if (std::system(remove.c_str()) != 0) status = 1;
  return status;
}
