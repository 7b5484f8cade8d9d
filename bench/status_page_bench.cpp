// Connections per second for the two short exchanges of the login port,
// the status page and a refused login, each over sequential connections:
// first against a minimal single-threaded server in this program that
// answers the same bytes, then against a target given by --port.
//
//   vornd_bench_serve [--port P] [--count N] [--warmup W] [--rounds R]
//                     [--mode page|login|both|metrics] [--clients C]
//   vornd_bench_serve --serve [--listen-port P]   (only the reference server)
//
// --mode metrics needs --port: the target's /metrics against its own status
// page, round by round, and the ratio of the two rates; --clients C (1 by
// default) runs C connections at once, each thread one after another.
//
// Against the daemon: give an instance a state root whose registry holds
// its Config values, then run it in the console and point --port at it.
//
//   export VORND_ROOT=$(mktemp -d)
//   KEY='HKLM\SYSTEM\CurrentControlSet\Services\bench\Config'
//   build/bin/vornreg add "$KEY" /v SockPort /t REG_SZ /d 18061 /f
//   build/bin/vornreg add "$KEY" /v AuthenticationMethod /t REG_SZ /d HTPassword /f
//   build/bin/vornreg add "$KEY" /v CreateDesktop /t REG_SZ /d No /f
//   build/bin/vornd -debug bench &
//   build/bin/vornd_bench_serve --port 18061
//
// (or write the same values by hand into $VORND_ROOT/registry, see the
// README's "The registry file"). The reference answers with the page the
// target itself sent to a first request, so both move the same bytes.
// Use LogAllEvents=No: a detailed log costs the daemon a write a client.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>
#include <string>
#include <thread>

#include "daemon/daemon_metrics.h"
#include "session/status_page.h"

namespace {

constexpr char kPageRequest[] = "GET / HTTP/1.0\r\n\r\n";
constexpr char kMetricsRequest[] = "GET /metrics HTTP/1.0\r\n\r\n";
constexpr std::size_t kLoginSize = 331;
constexpr std::size_t kPeekSize = 6;
constexpr char kRefused[2] = {0, 0};

struct Options {
  int targetPort = 0;
  int listenPort = 0;
  long count = 20000;
  long warmup = 2000;
  int rounds = 5;
  bool page = true;
  bool login = true;
  bool metrics = false;
  int clients = 1;
  bool serveOnly = false;
};

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: vornd_bench_serve [--port P] [--count N] [--warmup W] [--rounds R]\n"
               "                         [--mode page|login|both|metrics] [--clients C]\n"
               "       vornd_bench_serve --serve [--listen-port P]\n");
  std::exit(2);
}

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    const auto next = [&]() -> const char* {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    if (word == "--port") {
      options.targetPort = std::atoi(next());
    } else if (word == "--listen-port") {
      options.listenPort = std::atoi(next());
    } else if (word == "--count") {
      options.count = std::atol(next());
    } else if (word == "--warmup") {
      options.warmup = std::atol(next());
    } else if (word == "--rounds") {
      options.rounds = std::atoi(next());
    } else if (word == "--clients") {
      options.clients = std::atoi(next());
    } else if (word == "--serve") {
      options.serveOnly = true;
    } else if (word == "--mode") {
      const std::string mode = next();
      if (mode != "page" && mode != "login" && mode != "both" && mode != "metrics") usage();
      options.metrics = mode == "metrics";
      options.page = mode == "page" || mode == "both";
      options.login = mode == "login" || mode == "both";
    } else {
      usage();
    }
  }
  if (options.count <= 0 || options.warmup < 0 || options.rounds <= 0) usage();
  if (options.metrics && options.targetPort == 0) usage();
  if (options.clients <= 0 || options.clients > 256) usage();
  return options;
}

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

bool sendAll(int socket, const char* bytes, std::size_t length) {
  while (length > 0) {
    const ssize_t sent = ::send(socket, bytes, length, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    bytes += sent;
    length -= static_cast<std::size_t>(sent);
  }
  return true;
}

// Reads until count bytes arrived or the stream ended: the bytes read.
std::size_t receiveUpTo(int socket, char* buffer, std::size_t count) {
  std::size_t got = 0;
  while (got < count) {
    const ssize_t part = ::recv(socket, buffer + got, count - got, 0);
    if (part <= 0) break;
    got += static_cast<std::size_t>(part);
  }
  return got;
}

// The minimal server: single-threaded, one connection at a time, the
// daemon's decision on the first 6 bytes, one write of a fixed answer.
class ReferenceServer {
 public:
  ReferenceServer(std::string page, int port) : m_page(std::move(page)) {
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in address = loopback(port);
    if (::bind(m_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 128) != 0) {
      std::perror("reference server");
      std::exit(1);
    }
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&bound), &size);
    m_port = ntohs(bound.sin_port);
  }
  ~ReferenceServer() {
    stop();
    ::close(m_listener);
  }

  int port() const { return m_port; }
  // The server runs in a child process, as a daemon would: a thread of
  // the client's own process is woken more cheaply and would flatter it.
  void start() {
    m_child = ::fork();
    if (m_child < 0) {
      std::perror("fork");
      std::exit(1);
    }
    if (m_child == 0) serve();
  }
  void stop() {
    if (m_child <= 0) return;
    ::kill(m_child, SIGTERM);
    ::waitpid(m_child, nullptr, 0);
    m_child = 0;
  }
  [[noreturn]] void serve() {
    char request[kLoginSize];
    for (;;) {
      const int client = ::accept(m_listener, nullptr, nullptr);
      if (client < 0) continue;
      const int on = 1;
      ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      if (receiveUpTo(client, request, kPeekSize) == kPeekSize) {
        if (std::memcmp(request, "GET", 3) == 0) {
          sendAll(client, m_page.data(), m_page.size());
        } else if (receiveUpTo(client, request + kPeekSize, kLoginSize - kPeekSize) ==
                   kLoginSize - kPeekSize) {
          sendAll(client, kRefused, sizeof kRefused);
        }
      }
      ::shutdown(client, SHUT_WR);
      ::close(client);
    }
  }

 private:
  std::string m_page;
  int m_listener = -1;
  int m_port = 0;
  pid_t m_child = 0;
};

// One connection: connect, send the request, read to the end of the
// stream. The bytes received, or -1 when the connection failed. A reset
// after the answer (the server left part of the request unread) ends the
// stream as well as a FIN does.
long exchange(int port, const char* request, std::size_t length, std::string* answer) {
  const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
  if (socket < 0) return -1;
  const sockaddr_in address = loopback(port);
  long total = -1;
  if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      sendAll(socket, request, length)) {
    total = 0;
    char buffer[16384];
    ssize_t got;
    while ((got = ::recv(socket, buffer, sizeof buffer, 0)) > 0) {
      total += got;
      if (answer != nullptr) answer->append(buffer, static_cast<std::size_t>(got));
    }
  }
  ::close(socket);
  return total;
}

struct Side {
  Side(int port, long expected) : port(port), expected(expected) {}

  int port = 0;
  // < 0 accepts any non-empty answer (the target's page grows with its
  // counters).
  long expected = -1;
  std::vector<double> rates;
  long failures = 0;
};

void runRound(Side& side, const std::string& request, long count) {
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < count; ++i) {
    const long got = exchange(side.port, request.data(), request.size(), nullptr);
    if (got <= 0 || (side.expected >= 0 && got != side.expected)) ++side.failures;
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  side.rates.push_back(static_cast<double>(count) / elapsed.count());
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void report(const char* what, const char* who, const Side& side, long count) {
  const double rate = median(side.rates);
  std::printf("%-6s %-10s %8.0f connections/s  (%.1f us each; rounds:", what, who, rate,
              1e6 / rate);
  for (double each : side.rates) std::printf(" %.0f", each);
  std::printf("; %ld of %ld failed)\n", side.failures, count);
}

// The two servers take turns, round by round, so that a burst of other
// work on the machine weighs on both alike; each side's figure is the
// median of its rounds.
void compare(const char* what, const std::string& request, Side reference, Side target,
             const Options& options) {
  const long perRound = std::max(1L, options.count / options.rounds);
  const bool withTarget = target.port != 0;
  for (long i = 0; i < options.warmup; ++i) {
    exchange(reference.port, request.data(), request.size(), nullptr);
    if (withTarget) exchange(target.port, request.data(), request.size(), nullptr);
  }
  for (int round = 0; round < options.rounds; ++round) {
    runRound(reference, request, perRound);
    if (withTarget) runRound(target, request, perRound);
  }
  report(what, "reference", reference, perRound * options.rounds);
  if (!withTarget) return;
  report(what, "target", target, perRound * options.rounds);
  std::printf("%-6s ratio      %8.3f\n", what, median(target.rates) / median(reference.rates));
}

// A round of `count` exchanges shared by `clients` threads.
void runConcurrentRound(Side& side, const std::string& request, long count, int clients) {
  std::atomic<long> left{count};
  std::atomic<long> failures{0};
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&]() {
      while (left.fetch_sub(1) > 0) {
        if (exchange(side.port, request.data(), request.size(), nullptr) <= 0) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  side.failures += failures;
  side.rates.push_back(static_cast<double>(count) / elapsed.count());
}

// The target's two pages, taking turns round by round as in compare.
void compareMetricsWithPage(const Options& options) {
  const std::string page(kPageRequest, sizeof kPageRequest - 1);
  const std::string metrics(kMetricsRequest, sizeof kMetricsRequest - 1);
  const long perRound = std::max(1L, options.count / options.rounds);
  Side pageSide{options.targetPort, -1};
  Side metricsSide{options.targetPort, -1};
  runConcurrentRound(pageSide, page, options.warmup, options.clients);
  runConcurrentRound(metricsSide, metrics, options.warmup, options.clients);
  pageSide = Side{options.targetPort, -1};
  metricsSide = Side{options.targetPort, -1};
  for (int round = 0; round < options.rounds; ++round) {
    runConcurrentRound(pageSide, page, perRound, options.clients);
    runConcurrentRound(metricsSide, metrics, perRound, options.clients);
  }
  std::printf("%d client(s) at once\n", options.clients);
  report("page", "target", pageSide, perRound * options.rounds);
  report("metric", "target", metricsSide, perRound * options.rounds);
  std::printf("/metrics against the page %8.3f\n", median(metricsSide.rates) / median(pageSide.rates));
}

StatusPageValues sampleValues() {
  static const std::map<std::string, std::string> environment = {
      {"$SYSUID", "hidden"}, {"HOME", "/home/vorn"}, {"LANG", "C"},
      {"PATH", "/usr/local/bin:/usr/bin:/bin"}, {"VORN_DATA", "/srv/vorn"}};
  StatusPageValues values;
  values.serviceName = "bench";
  values.processId = static_cast<std::uint32_t>(::getpid());
  values.buildDate = statusPageBuildDate();
  values.engine = "/opt/vorn/bin/vornengine";
  values.port = 18061;
  values.method = "HTPassword";
  values.includeSystemEnv = false;
  values.served = 0;
  values.rejected = 123456;
  values.environment = &environment;
  return values;
}

std::string samplePage() { return statusPageResponse(sampleValues()); }

// The builder alone, so that a slow page shows up apart from the network:
// the whole page in one string, and a response of a page built once.
template <typename Build>
void timeBuilder(const char* what, Build build) {
  constexpr int kRounds = 200000;
  std::size_t bytes = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRounds; ++i) bytes += build();
  const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
  std::printf("%-12s %.0f ns a page (%zu bytes)\n", what, elapsed.count() / kRounds,
              bytes / kRounds);
}

void timeBuilders() {
  const StatusPageValues values = sampleValues();
  timeBuilder("page build:", [&]() { return statusPageResponse(values).size(); });
  const StatusPage page(values);
  timeBuilder("shared page:",
              [&]() { return page.response(values.served, values.rejected).size(); });
  const DaemonMetrics metrics("bench");
  timeBuilder("metrics:", [&]() { return metricsResponse(metrics.exposition({})).size(); });
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parseOptions(argc, argv);

  if (options.serveOnly) {
    ReferenceServer server(samplePage(), options.listenPort);
    std::printf("reference server on 127.0.0.1:%d\n", server.port());
    std::fflush(stdout);
    server.serve();
  }

  std::string page = samplePage();
  if (options.targetPort != 0) {
    std::string answer;
    if (exchange(options.targetPort, kPageRequest, sizeof kPageRequest - 1, &answer) <= 0) {
      std::fprintf(stderr, "no answer from 127.0.0.1:%d\n", options.targetPort);
      return 1;
    }
    page = answer;
  }
  std::string login(kLoginSize, '\0');
  login.replace(0, 9, "benchuser");
  login.replace(21, 14, "wrong-password");

  if (options.metrics) {
    std::string answer;
    exchange(options.targetPort, kMetricsRequest, sizeof kMetricsRequest - 1, &answer);
    std::printf("/metrics: %zu bytes, page: %zu bytes\n", answer.size(), page.size());
    compareMetricsWithPage(options);
    return 0;
  }
  timeBuilders();
  ReferenceServer reference(page, 0);
  reference.start();
  if (options.page) {
    compare("page", std::string(kPageRequest, sizeof kPageRequest - 1),
            Side{reference.port(), static_cast<long>(page.size())}, Side{options.targetPort, -1},
            options);
  }
  if (options.login) {
    compare("login", login, Side{reference.port(), 2}, Side{options.targetPort, 2}, options);
  }
  return 0;
}
