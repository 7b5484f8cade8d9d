// One client guessing passwords: from one address (127.0.0.2), `--parallel`
// connections at a time, each sending a login record with a wrong password
// for `--user` and reading the 2-byte reply, for `--seconds`. Prints the
// refusals a second, and the replies' latency, for each daemon given by
// `--port` (several ports: one after the other, in the same run).
//
//   vornd_bench_guess --user U --port P [--port Q] [--seconds 20] [--parallel 1]
//
// Used by bench/guessing.sh, which starts the daemons (the landed one and
// this one) with the system's logon and counts, from their logs, which of
// the refusals were checked by the system at all.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kLoginSize = 331;
constexpr std::uint32_t kGuesser = 0x7F000002;

struct Totals {
  long refused = 0;
  long other = 0;  // anything but a whole 0x00 0x00
  std::vector<double> latencyMs;
};

// One guess: connect from the guesser's address, send, read the reply.
bool guess(int port, const std::string& record, double& ms) {
  const Clock::time_point begun = Clock::now();
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(kGuesser);
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(static_cast<std::uint16_t>(port));
  remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval limit{15, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  bool refused = false;
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
      connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0 &&
      send(fd, record.data(), record.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(record.size())) {
    char reply[2];
    std::size_t got = 0;
    while (got < 2) {
      const ssize_t n = recv(fd, reply + got, 2 - got, 0);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    refused = got == 2 && reply[0] == 0 && reply[1] == 0;
  }
  close(fd);
  ms = std::chrono::duration<double, std::milli>(Clock::now() - begun).count();
  return refused;
}

Totals run(int port, const std::string& user, double seconds, int parallel) {
  std::string record(kLoginSize, '\0');
  record.replace(0, std::min<std::size_t>(user.size(), 20), user.substr(0, 20));
  const std::string password = "wrong-guess-pw";
  record.replace(21, password.size(), password);

  Totals totals;
  std::mutex lock;
  const Clock::time_point end =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::vector<std::thread> clients;
  for (int i = 0; i < parallel; ++i) {
    clients.emplace_back([&] {
      while (Clock::now() < end) {
        double ms = 0;
        const bool refused = guess(port, record, ms);
        std::lock_guard<std::mutex> guard(lock);
        ++(refused ? totals.refused : totals.other);
        totals.latencyMs.push_back(ms);
      }
    });
  }
  for (std::thread& client : clients) client.join();
  return totals;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

}  // namespace

int main(int argc, char** argv) {
  std::string user;
  std::vector<int> ports;
  double seconds = 20;
  int parallel = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const char* value = argv[i + 1];
    if (name == "--user") {
      user = value;
    } else if (name == "--port") {
      ports.push_back(std::atoi(value));
    } else if (name == "--seconds") {
      seconds = std::atof(value);
    } else if (name == "--parallel") {
      parallel = std::max(1, std::atoi(value));
    } else {
      std::fprintf(stderr, "vornd_bench_guess: unknown option %s\n", name.c_str());
      return 2;
    }
  }
  if (user.empty() || ports.empty() || seconds <= 0) {
    std::fprintf(stderr,
                 "usage: vornd_bench_guess --user U --port P [--port Q] [--seconds S] "
                 "[--parallel N]\n");
    return 2;
  }
  std::printf("%-7s %8s %8s %12s %10s %10s\n", "port", "refused", "other", "refused/s",
              "p50 ms", "p99 ms");
  for (const int port : ports) {
    const Totals totals = run(port, user, seconds, parallel);
    std::printf("%-7d %8ld %8ld %12.2f %10.1f %10.1f\n", port, totals.refused, totals.other,
                totals.refused / seconds, percentile(totals.latencyMs, 0.5),
                percentile(totals.latencyMs, 0.99));
    std::fflush(stdout);
  }
  return 0;
}
