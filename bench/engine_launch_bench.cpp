// Accepted logins per second, each handed to a trivial engine: a client
// connects, sends the 331-byte record, reads the 2-byte reply, and waits
// until the engine's end closes the connection.
//
// Three servers take turns in every round, on the same machine and load:
//
//   floor      a minimal serial server in this program: accept, read 331
//              bytes, write 2, posix_spawn the engine with the socket
//   tcpserver  the ucspi-tcp program, without its name and ident look-ups
//              (-R -H -l 0), at most 100 children at once (-c 100), running
//              the exchange child (vornd_bench_exchange) on its standard
//              input and output
//   vornd      the daemon in the console, method "Vorn", the engine as
//              VornExecutable, in a throw-away state root
//
//   vornd_bench_launch [--count N] [--rounds R] [--engine PATH] [--wait end|reply]
//   vornd_bench_launch --clients 1,4,16,64 [--seconds S] [--rounds R]
//                      [--hold H] [--engine PATH] [--wait end|reply]
//                      [--before PATH] [--flood AxP]
//
// Without --clients the clients are sequential, --count logins a round.
// With --wait reply a client closes once it has its reply, so the rate is
// what each server can take on, its engines running beside it. It prints
// each round, the median rate of each server, the ratios, and the resident
// memory of the idle daemon and of idle tcpserver.
//
// With --clients, each level runs that many clients at once for rounds of
// --seconds, every client repeating its login; a login is given up after
// 10 s. Before any login, the daemon's resident memory is read idle and
// again while --hold clients are connected without sending anything
// (SockReceiveTimeout is raised so that the daemon does not drop them
// meanwhile). It prints, per level, each server's median rate, the ratios,
// the daemon's latency from connect to reply, and the errors.
//
// --before runs another build of the daemon (the one landed before a
// change, say) as a fourth server in the same rounds, so that its ratios
// and this build's come from one run. --flood AxP adds a row per daemon:
// its logins at 16 clients while A addresses each hold P connections that
// send nothing (FloodClients, renewed as they are closed), beside its
// logins in rounds without them, taken in turns.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "flood_clients.h"
#include "login_load.h"

namespace {

using bench::kLoginSize;

struct Options {
  long count = 2000;
  int rounds = 5;
  std::string engine = "/bin/true";
  // The client's wait: until the engine's end closes the connection, or
  // only until the reply (the server's own cost per login).
  bool untilEnd = true;
  // Concurrent levels; none for sequential clients.
  std::vector<int> clients;
  double seconds = 1.0;
  int hold = 64;
  // Another daemon binary to run beside this build's.
  std::string before;
  // Flood addresses, and connections each (0: no flood row).
  int floodAddresses = 0;
  int floodEach = 0;
};

constexpr int kFloodClients = 16;

bool readExactly(int fd, char* buffer, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = read(fd, buffer + got, size - got);
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

// The floor: the least a server must do per accepted login.
void serveFloor(int port, const std::string& engine) {
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

struct Server {
  explicit Server(const char* serverName) : name(serverName) {}
  const char* name;
  int port = 0;
  pid_t pid = -1;
  std::vector<double> rates;
};

bool parseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string word = argv[i];
    const std::string value = argv[i + 1];
    if (word == "--count") options.count = std::atol(value.c_str());
    else if (word == "--rounds") options.rounds = std::atoi(value.c_str());
    else if (word == "--engine") options.engine = value;
    else if (word == "--wait" && value == "reply") options.untilEnd = false;
    else if (word == "--wait" && value == "end") options.untilEnd = true;
    else if (word == "--clients" && !(options.clients = bench::parseLevels(value)).empty()) continue;
    else if (word == "--seconds") options.seconds = std::atof(value.c_str());
    else if (word == "--hold") options.hold = std::atoi(value.c_str());
    else if (word == "--before") options.before = value;
    else if (word == "--flood" &&
             std::sscanf(value.c_str(), "%dx%d", &options.floodAddresses, &options.floodEach) == 2 &&
             options.floodAddresses > 0 && options.floodEach > 0) continue;
    else return false;
  }
  return argc % 2 == 1 && options.count > 0 && options.rounds > 0 && options.seconds > 0 &&
         options.hold >= 0;
}

// ---- sequential clients ------------------------------------------------------

int runSequential(const Options& options, std::vector<Server*>& servers, Server& floor,
                  Server& tcp, Server& daemon) {
  const long daemonIdle = bench::residentKilobytes(daemon.pid);
  const long tcpIdle = bench::residentKilobytes(tcp.pid);
  std::printf("accepted logins per second, %ld sequential clients a round, engine %s, "
              "each client waiting %s\n",
              options.count, options.engine.c_str(),
              options.untilEnd ? "until the engine's end closes the connection"
                               : "for the reply only");
  int status = 0;
  for (int round = 0; round <= options.rounds && status == 0; ++round) {
    for (Server* server : servers) {
      // Round 0 warms everything up and is not counted.
      const long count = round == 0 ? options.count / 4 + 1 : options.count;
      const auto start = std::chrono::steady_clock::now();
      // Each login from the next of 250 addresses: a client that leaves at
      // its reply comes back before its engine has started, and one address
      // would soon meet the daemon's cap per source.
      for (long i = 0; i < count && status == 0; ++i) {
        if (bench::stopRequested() ||
            bench::oneLogin(server->port, options.untilEnd, static_cast<int>(i % 250)).outcome !=
                bench::Outcome::Accepted) {
          std::fprintf(stderr, "%s: login %ld failed\n", server->name, i);
          status = 1;
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
  if (status != 0) return status;
  const double f = bench::median(floor.rates), t = bench::median(tcp.rates), d = bench::median(daemon.rates);
  std::printf("\nmedian    floor %.0f/s   tcpserver %.0f/s   vornd %.0f/s\n", f, t, d);
  std::printf("vornd / tcpserver = %.3f   (goal >= 1.2)\n", d / t);
  std::printf("vornd / floor     = %.3f   (goal >= 0.95)\n", d / f);
  std::printf("idle resident memory: vornd %ld kB, tcpserver %ld kB\n", daemonIdle, tcpIdle);
  return 0;
}

// ---- concurrent clients ------------------------------------------------------

void printMemory(const char* what, pid_t pid) {
  const bench::TreeMemory tree = bench::treeMemory(pid);
  std::printf("memory %s: %ld kB (its process tree: %d processes, %ld kB)\n", what,
              bench::residentKilobytes(pid), tree.processes, tree.kilobytes);
}

// A daemon's memory while clients hold connections open and send nothing.
void measureHeld(const Options& options, const Server& daemon) {
  const auto before = bench::portState(daemon.port);
  {
    bench::SilentClients silent(daemon.port, options.hold);
    const int connected = silent.waitConnected(2000);
    // Time for the daemon to take on what it will.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto held = bench::portState(daemon.port);
    const std::string what =
        std::string(daemon.name) + " with " + std::to_string(options.hold) + " silent clients";
    printMemory(what.c_str(), daemon.pid);
    const long established = held.established - before.established;
    std::printf("silent clients: %d of %d connected on the client side, %ld accepted by %s, %ld "
                "waiting in its listen queue, %d still connecting\n",
                connected, options.hold, established - held.queued, daemon.name, held.queued,
                options.hold - connected);
  }
  // Let the daemon see them go before the logins start.
  for (int i = 0; i < 200 && bench::portState(daemon.port).queued > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

struct Level {
  int clients = 0;
  // Per server, in the order of servers: rates of the rounds and the
  // rounds' logins put together.
  std::vector<std::vector<double>> rates;
  std::vector<bench::LoadResult> totals;
};

std::string errorText(const bench::LoadResult& r) {
  return std::to_string(r.errors()) + " (connect " + std::to_string(r.connectFailed) +
         ", reply " + std::to_string(r.badReply) + ", end " + std::to_string(r.badEnd) +
         ", timeout " + std::to_string(r.timedOut) + ")";
}

// One daemon's logins at kFloodClients with and without the flood, in
// turns: the rate without, the rate with, and the logins under the flood.
void floodRow(const Options& options, const Server& daemon) {
  std::vector<double> quiet, flooded;
  bench::LoadResult underFlood;
  long renewed = 0;
  int connected = 0;
  for (int round = 0; round < options.rounds && !bench::stopRequested(); ++round) {
    bench::LoadResult alone = bench::runLoad(daemon.port, kFloodClients, options.seconds,
                                             options.untilEnd);
    quiet.push_back(alone.accepted / alone.seconds);
    {
      bench::FloodClients flood(daemon.port, options.floodAddresses, options.floodEach);
      connected = flood.waitConnected(2000);
      const bench::LoadResult result =
          bench::runLoad(daemon.port, kFloodClients, options.seconds, options.untilEnd);
      flooded.push_back(result.accepted / result.seconds);
      underFlood.add(result);
      renewed += flood.renewed();
    }
    // The daemon sees the flood go before the next round.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  const double q = bench::median(quiet), f = bench::median(flooded);
  const double p99 = bench::percentile(underFlood.latenciesMs, 0.99);
  std::printf("%-9s %7.0f/s without, %7.0f/s with %d x %d silent (%d connected at the last "
              "round, %ld renewed): %.3f, p99 %.2f ms, errors %s; goal >= 0.9 and p99 < 100 ms: "
              "%s\n",
              daemon.name, q, f, options.floodAddresses, options.floodEach, connected, renewed,
              q > 0 ? f / q : 0, p99, errorText(underFlood).c_str(),
              q > 0 && f >= 0.9 * q && p99 < 100 ? "met" : "not met");
}

// servers: floor, tcpserver, then the daemons.
int runConcurrent(const Options& options, std::vector<Server*>& servers) {
  const Server& tcp = *servers[1];
  const std::vector<Server*> daemons(servers.begin() + 2, servers.end());
  for (const Server* daemon : daemons) {
    printMemory((std::string(daemon->name) + " idle").c_str(), daemon->pid);
  }
  printMemory("tcpserver idle", tcp.pid);
  if (options.hold > 0) {
    for (const Server* daemon : daemons) measureHeld(options, *daemon);
  }

  std::printf("\naccepted logins per second, engine %s, clients at once each repeating a "
              "login and waiting %s, median of %d rounds of %.1f s\n",
              options.engine.c_str(),
              options.untilEnd ? "until the engine's end" : "for the reply only", options.rounds,
              options.seconds);
  std::vector<Level> levels;
  for (int clients : options.clients) {
    Level level;
    level.clients = clients;
    level.rates.resize(servers.size());
    level.totals.resize(servers.size());
    for (Server* server : servers) {  // warm-up, not counted
      bench::runLoad(server->port, clients, std::min(0.3, options.seconds), options.untilEnd);
    }
    for (int round = 0; round < options.rounds && !bench::stopRequested(); ++round) {
      for (std::size_t s = 0; s < servers.size(); ++s) {
        const bench::LoadResult result =
            bench::runLoad(servers[s]->port, clients, options.seconds, options.untilEnd);
        level.rates[s].push_back(result.accepted / result.seconds);
        level.totals[s].add(result);
      }
    }
    if (bench::stopRequested()) return 130;
    for (std::size_t s = 0; s < servers.size(); ++s) {
      const bench::LoadResult& total = level.totals[s];
      std::printf("%3d clients %-9s %7.0f/s  rounds", clients, servers[s]->name,
                  bench::median(level.rates[s]));
      for (double rate : level.rates[s]) std::printf(" %.0f", rate);
      std::printf("  latency ms p50 %.2f p99 %.2f max %.2f  errors %s\n",
                  bench::percentile(total.latenciesMs, 0.50),
                  bench::percentile(total.latenciesMs, 0.99),
                  bench::percentile(total.latenciesMs, 1.0), errorText(total).c_str());
    }
    levels.push_back(std::move(level));
  }
  for (const Server* daemon : daemons) {
    printMemory((std::string(daemon->name) + " after the logins").c_str(), daemon->pid);
  }

  std::printf("\nconcurrent logins:\n");
  std::printf("%7s %-9s %9s %11s %9s %9s %9s %8s %8s %8s  %s\n", "clients", "daemon", "rate/s",
              "tcpserver/s", "floor/s", "vs tcp", "vs floor", "p50 ms", "p99 ms", "max ms",
              "errors daemon/tcpserver/floor");
  for (const Level& level : levels) {
    const double f = bench::median(level.rates[0]), t = bench::median(level.rates[1]);
    for (std::size_t s = 2; s < servers.size(); ++s) {
      const double d = bench::median(level.rates[s]);
      const std::vector<double>& latencies = level.totals[s].latenciesMs;
      std::printf("%7d %-9s %9.0f %11.0f %9.0f %9.3f %9.3f %8.2f %8.2f %8.2f  %ld/%ld/%ld\n",
                  level.clients, servers[s]->name, d, t, f, t > 0 ? d / t : 0, f > 0 ? d / f : 0,
                  bench::percentile(latencies, 0.50), bench::percentile(latencies, 0.99),
                  bench::percentile(latencies, 1.0), level.totals[s].errors(),
                  level.totals[1].errors(), level.totals[0].errors());
    }
  }
  std::printf("\n");
  const std::size_t self = servers.size() - 1;
  for (const Level& level : levels) {
    const double f = bench::median(level.rates[0]), t = bench::median(level.rates[1]);
    const double d = bench::median(level.rates[self]);
    if (level.clients == 16) {
      std::printf("goal at 16 clients, vornd / tcpserver >= 1.2: %.3f, %s\n", d / t,
                  d >= 1.2 * t ? "met" : "not met");
    } else if (level.clients == 1) {
      std::printf("goal at 1 client, vornd / floor >= 0.95: %.3f, %s\n", d / f,
                  d >= 0.95 * f ? "met" : "not met");
    } else if (level.clients == 64) {
      const double p99 = bench::percentile(level.totals[self].latenciesMs, 0.99);
      const long errors = level.totals[self].errors();
      std::printf("goal at 64 clients, no error and p99 < 50 ms: %ld errors, p99 %.2f ms, %s\n",
                  errors, p99, errors == 0 && p99 < 50 && level.totals[self].accepted > 0 ? "met" : "not met");
    }
  }
  if (options.floodAddresses > 0) {
    std::printf("\nlogins at %d clients while a flood holds silent connections:\n",
                kFloodClients);
    for (const Server* daemon : daemons) floodRow(options, *daemon);
  }
  return 0;
}

// A daemon in the console under `service`, its settings written first.
pid_t startDaemon(const std::string& program, const std::string& service, const Server& server,
                  const Options& options) {
  // Silent clients are held for a few seconds; the daemon must not drop
  // them meanwhile.
  const bool configured = bench::setConfig(service, "SockPort", std::to_string(server.port)) &&
                          bench::setConfig(service, "AuthenticationMethod", "Vorn") &&
                          bench::setConfig(service, "VornExecutable", options.engine) &&
                          bench::setConfig(service, "CreateDesktop", "No") &&
                          bench::setConfig(service, "LogCreate", "No") &&
                          bench::setConfig(service, "SockReceiveTimeout", "30");
  return configured ? bench::startProgram({program, "-debug", service}) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: vornd_bench_launch [--count N] [--rounds R] [--engine PATH]"
                 " [--wait end|reply]\n"
                 "       vornd_bench_launch --clients N,N,... [--seconds S] [--rounds R]"
                 " [--hold H] [--engine PATH] [--wait end|reply] [--before PATH]"
                 " [--flood AxP]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  bench::installStopHandlers();
  const std::string bin = bench::binaryDirectory();

  // A throw-away state root for the daemon's registry.
  char rootTemplate[] = "/tmp/vornd-bench-XXXXXX";
  if (mkdtemp(rootTemplate) == nullptr) return 2;
  setenv("VORND_ROOT", rootTemplate, 1);

  // Held silent clients and floods need more descriptors than the usual
  // soft limit.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  Server floor("floor"), tcp("tcpserver"), before("before"), daemon("vornd");
  floor.port = bench::freePort();
  floor.pid = bench::startChild(serveFloor, floor.port, options.engine);

  tcp.port = bench::freePort();
  tcp.pid = bench::startProgram({"/usr/bin/tcpserver", "-q", "-R", "-H", "-l", "0", "-c", "100",
                                 "127.0.0.1", std::to_string(tcp.port),
                                 bin + "/vornd_bench_exchange"});

  daemon.port = bench::freePort();
  daemon.pid = startDaemon(bin + "/vornd", "bench", daemon, options);
  std::vector<Server*> servers = {&floor, &tcp};
  if (!options.before.empty()) {
    before.port = bench::freePort();
    before.pid = startDaemon(options.before, "benchbefore", before, options);
    servers.push_back(&before);
  }
  servers.push_back(&daemon);

  int status = 0;
  for (Server* server : servers) {
    if (server->pid < 0 || !bench::waitUntilListening(server->port, server->pid)) {
      std::fprintf(stderr, "%s did not start%s\n", server->name,
                   server == &tcp ? " (is ucspi-tcp installed?)" : "");
      status = 1;
    }
  }
  if (status == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    status = options.clients.empty() ? runSequential(options, servers, floor, tcp, daemon)
                                     : runConcurrent(options, servers);
  }
  if (bench::stopRequested()) status = 130;
  bench::stopAll();
  std::string remove = std::string("rm -rf ") + rootTemplate;
  if (std::system(remove.c_str()) != 0 && status == 0) status = 1;
  return status;
}
