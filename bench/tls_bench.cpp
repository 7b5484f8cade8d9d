// TLS on the login port, measured beside what an administrator would do
// without it: the clear daemon behind stunnel4 in server mode, with the
// same certificate and key. One run, rounds taking the set-ups in turn:
//
//   logins     accepted logins a second with the engine /bin/true at 1 and
//              16 clients at once, each client repeating connect, TLS 1.3
//              handshake (a full one every time: no session is offered),
//              the 331-byte record, the 2-byte reply and a wait for the
//              end; set-ups: vornd with SockTLS Required ("vornd-tls"),
//              the clear vornd behind stunnel ("stunnel"), the clear vornd
//              itself ("clear", no TLS) and, with --before, another build's
//              clear daemon ("before"); then vornd-tls and stunnel again
//              with clients that set TCP_NODELAY ("/nd"), as the TLS
//              clients above and s_time leave Nagle's algorithm on
//   pages      status pages over TLS, `openssl s_time -new -www /` run
//              eight at once, against vornd-tls and against stunnel
//   memory     one idle TLS session (handshake done, nothing sent): its
//              relay process's resident and private memory, and stunnel's
//              whole process before and while it holds one
//
//   vornd_bench_tls [--seconds S] [--rounds R] [--page-seconds N]
//                   [--page-clients C] [--clients 1,16] [--before PATH]
//
// S (default 2) is a login round, N (default 3, whole seconds as s_time
// takes them) a page round; R rounds (default 3) of each. A login not
// ended 10 s after its connect began is given up. --before names another
// daemon binary (the build before TLS, say) whose clear logins run in the
// same rounds, for the goal that clear serving is not slower now.
//
// The client verifies the server's chain against the run's own CA and the
// address 127.0.0.1, as a real client would; s_time verifies nothing.
// Certificates (a CA and a server certificate for localhost and 127.0.0.1,
// EC P-256) are made with the openssl command at the start, in the run's
// temporary folder, which goes at the end with every process started.
//
// Needs the openssl command and stunnel4 (Debian: apt-get install stunnel4).
// stunnel runs with TCP_NODELAY on both sides, as the daemon's sockets
// are, and the clear daemons with MaxPendingPerSource 64 (all of
// stunnel's connections come from 127.0.0.1; the default 8 would refuse
// most of 16 clients). The whole run takes about two minutes.
//
//   build/bin/vornd_bench_tls --before /tmp/pre-tls/build-rel/bin/vornd
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "login_load.h"
#include "process_watch.h"
#include "tls_load.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::Outcome;
using bench::childrenNamed;
using bench::clientContext;
using bench::descendants;
using bench::Memory;
using bench::memoryOf;
using bench::ProcessInfo;
using bench::processes;
using bench::handshake;
using bench::runTlsLoad;
using bench::TlsConnection;

struct Options {
  double seconds = 2.0;
  int rounds = 3;
  int pageSeconds = 3;
  int pageClients = 8;
  std::vector<int> levels = {1, 16};
  std::string before;
  std::string engine = "/bin/true";
};

std::string shellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// ---- certificates ---------------------------------------------------------------

struct Pki {
  std::string ca, certificate, key;
};

// A CA and a server certificate under it, both EC P-256, valid for a day.
bool makeCertificates(const std::string& folder, Pki& pki) {
  const std::string d = shellQuote(folder);
  const std::string script =
      "cd " + d + " && exec >openssl.log 2>&1 && "
      "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ca.key && "
      "openssl req -x509 -new -key ca.key -subj /CN=vornd-bench-ca -days 1 -out ca.pem "
      "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign && "
      "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out server.key && "
      "openssl req -new -key server.key -subj /CN=localhost -out server.csr && "
      "printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\nbasicConstraints=CA:FALSE\\n"
      "extendedKeyUsage=serverAuth\\n' >server.ext && "
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 1 "
      "-extfile server.ext -out server.pem";
  if (std::system(script.c_str()) != 0) return false;
  pki = {folder + "/ca.pem", folder + "/server.pem", folder + "/server.key"};
  return true;
}

// Programs whose output is wanted: started from the main thread (so that
// the death signal follows this process, not a thread), each with its
// standard output and error on a pipe.
struct Captured {
  pid_t pid = -1;
  int fd = -1;
  std::string output;
  int status = -1;
  double seconds = 0;
  double cpuSeconds = 0;  // user and system time, taken at its exit
};

std::vector<pid_t> g_captured;

// The daemons' relay masters, taken once the daemons listen: at a stop
// signal the daemons end first, and their masters are then no longer
// found below this process.
std::vector<ProcessInfo> g_masters;

void stopCaptured() {
  for (pid_t pid : g_captured) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  g_captured.clear();
}

Captured startCaptured(const std::vector<std::string>& arguments) {
  Captured run;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return run;
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    dup2(pipeFds[1], 1);
    dup2(pipeFds[1], 2);
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  if (pid < 0) {
    close(pipeFds[0]);
    return run;
  }
  g_captured.push_back(pid);
  run.pid = pid;
  run.fd = pipeFds[0];
  return run;
}

// Reads every output to its end and waits for each program, each one's
// time from start to exit in seconds; past the deadline (or at a stop
// signal) the rest are ended.
void finishCaptured(std::vector<Captured>& runs, Clock::time_point started,
                    Clock::time_point deadline) {
  std::size_t open = 0;
  for (const Captured& run : runs) open += run.fd >= 0;
  while (open > 0 && Clock::now() < deadline && !bench::stopRequested()) {
    std::vector<pollfd> watched;
    for (const Captured& run : runs) {
      if (run.fd >= 0) watched.push_back({run.fd, POLLIN, 0});
    }
    poll(watched.data(), watched.size(), 100);
    for (Captured& run : runs) {
      if (run.fd < 0) continue;
      pollfd one{run.fd, POLLIN, 0};
      if (poll(&one, 1, 0) <= 0) continue;
      char buffer[4096];
      const ssize_t n = read(run.fd, buffer, sizeof buffer);
      if (n > 0) {
        run.output.append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(run.fd);
        run.fd = -1;
        --open;
      }
    }
    // Each program's time ends at its exit, taken as soon as its output ends.
    for (Captured& run : runs) {
      if (run.fd < 0 && run.status < 0 && run.pid > 0) {
        int status = 0;
        rusage usage{};
        if (wait4(run.pid, &status, 0, &usage) == run.pid) {
          run.status = status;
          run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
          run.seconds = std::chrono::duration<double>(Clock::now() - started).count();
        }
        g_captured.erase(std::remove(g_captured.begin(), g_captured.end(), run.pid),
                         g_captured.end());
      }
    }
  }
  for (Captured& run : runs) {
    if (run.fd >= 0) close(run.fd);
    run.fd = -1;
    if (run.status < 0 && run.pid > 0) {
      kill(run.pid, SIGTERM);
      waitpid(run.pid, nullptr, 0);
      g_captured.erase(std::remove(g_captured.begin(), g_captured.end(), run.pid),
                       g_captured.end());
    }
  }
}

// ---- set-ups -----------------------------------------------------------------------

struct Daemon {
  std::string name;
  std::string service;
  int port = 0;
  pid_t pid = -1;
};

pid_t startDaemon(const std::string& program, Daemon& daemon, const Options& options,
                  const std::string& tls, const Pki& pki) {
  bool configured = bench::setConfig(daemon.service, "SockPort", std::to_string(daemon.port)) &&
                    bench::setConfig(daemon.service, "AuthenticationMethod", "Vorn") &&
                    bench::setConfig(daemon.service, "VornExecutable", options.engine) &&
                    bench::setConfig(daemon.service, "CreateDesktop", "No") &&
                    bench::setConfig(daemon.service, "IncludeSystemEnv", "No") &&
                    bench::setConfig(daemon.service, "LogCreate", "No") &&
                    bench::setConfig(daemon.service, "MaxPendingPerSource", "64");
  if (!tls.empty()) {
    configured = configured && bench::setConfig(daemon.service, "SockTLS", tls) &&
                 bench::setConfig(daemon.service, "TLSCertificateFile", pki.certificate) &&
                 bench::setConfig(daemon.service, "TLSKeyFile", pki.key);
  }
  daemon.pid = configured ? bench::startProgram({program, "-debug", daemon.service}) : -1;
  return daemon.pid;
}

bool writeStunnelConfig(const std::string& path, int acceptPort, int connectPort, const Pki& pki) {
  std::ofstream file(path);
  file << "foreground = yes\n"
          "pid =\n"
          "syslog = no\n"
          "debug = 3\n"
          "[vornd]\n"
          "accept = 127.0.0.1:" << acceptPort << "\n"
          "connect = 127.0.0.1:" << connectPort << "\n"
          "cert = " << pki.certificate << "\n"
          "key = " << pki.key << "\n"
          "sslVersionMin = TLSv1.3\n"
          "socket = l:TCP_NODELAY=1\n"
          "socket = r:TCP_NODELAY=1\n";
  return static_cast<bool>(file);
}

std::string errorText(const bench::LoadResult& r) {
  return std::to_string(r.errors()) + " (connect/handshake " + std::to_string(r.connectFailed) +
         ", reply " + std::to_string(r.badReply) + ", end " + std::to_string(r.badEnd) +
         ", timeout " + std::to_string(r.timedOut) + ")";
}

// A login set-up: where its clients go and whether they speak TLS.
struct Setup {
  std::string name;
  int port = 0;
  bool tls = false;
  bool noDelay = false;
};

struct LevelResult {
  std::vector<std::vector<double>> rates;
  std::vector<bench::LoadResult> totals;
};

// ---- memory of one idle session ------------------------------------------------------

struct IdleMemory {
  bool found = false;
  Memory session;
  Memory master;
  int sessions = 0;
};

IdleMemory relaySessionMemory(const Pki& pki, const Daemon& daemon) {
  IdleMemory result;
  const std::vector<pid_t> masters = childrenNamed(daemon.pid, "vornd-tls-maste");
  if (masters.size() != 1) {
    std::printf("memory: %zu relay masters under the daemon (one expected)\n", masters.size());
    return result;
  }
  SSL_CTX* context = clientContext(pki.ca);
  TlsConnection connection =
      handshake(context, daemon.port, 7, false, Clock::now() + std::chrono::seconds(5));
  if (connection.ssl != nullptr) {
    // Time for the relay to finish its side and hand the daemon the stream.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::vector<pid_t> sessions = childrenNamed(masters[0], "vornd-tls");
    result.sessions = static_cast<int>(sessions.size());
    if (sessions.size() == 1) {
      result.found = true;
      result.session = memoryOf(sessions[0]);
      result.master = memoryOf(masters[0]);
    }
  } else {
    std::printf("memory: the idle connection's handshake failed\n");
  }
  connection.close();
  SSL_CTX_free(context);
  return result;
}

struct StunnelMemory {
  Memory before, held;
  int childrenHeld = 0;
  bool handshook = false;
};

StunnelMemory stunnelMemory(const Pki& pki, pid_t stunnel, int port) {
  StunnelMemory result;
  result.before = memoryOf(stunnel);
  SSL_CTX* context = clientContext(pki.ca);
  TlsConnection connection =
      handshake(context, port, 7, false, Clock::now() + std::chrono::seconds(5));
  result.handshook = connection.ssl != nullptr;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  result.held = memoryOf(stunnel);
  result.childrenHeld = static_cast<int>(descendants({stunnel}).size());
  connection.close();
  SSL_CTX_free(context);
  return result;
}

// ---- status pages --------------------------------------------------------------------

struct PageRound {
  double rate = 0;  // summed over the programs
  long connections = 0;
  int failed = 0;   // programs that did not end well or printed no count
  // The clients' own CPU time over the machine's over the round: what
  // share of the cores the s_time programs took themselves.
  double clientShare = 0;
  double busy = 0;  // the machine's busy share over the round, from /proc/stat

  // The most any server could reach beside these clients on this machine:
  // the rate were everything but the clients' share free.
  double ceiling() const { return clientShare > 0 ? rate / clientShare : 0; }
};

// Busy and total jiffies of all cores, from the first line of /proc/stat.
std::pair<double, double> cpuJiffies() {
  std::ifstream stat("/proc/stat");
  std::string cpu;
  double user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
  stat >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
  const double busy = user + nice + system + irq + softirq + steal;
  return {busy, busy + idle + iowait};
}

// C s_time programs at once; each one's rate is its connections over its
// own time from start to exit (s_time's own clock has whole seconds).
PageRound pageRound(int port, const Options& options) {
  PageRound round;
  if (bench::stopRequested()) return round;
  std::vector<Captured> runs;
  const Clock::time_point started = Clock::now();
  const std::pair<double, double> before = cpuJiffies();
  for (int i = 0; i < options.pageClients; ++i) {
    runs.push_back(startCaptured({"openssl", "s_time", "-connect",
                                  "127.0.0.1:" + std::to_string(port), "-new", "-tls1_3", "-www",
                                  "/", "-time", std::to_string(options.pageSeconds)}));
  }
  finishCaptured(runs, started, started + std::chrono::seconds(options.pageSeconds + 20));
  const std::pair<double, double> after = cpuJiffies();
  if (after.second > before.second) round.busy = (after.first - before.first) / (after.second - before.second);
  double cpu = 0, wall = 0;
  for (const Captured& run : runs) {
    cpu += run.cpuSeconds;
    wall = std::max(wall, run.seconds);
  }
  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  if (wall > 0 && cores > 0) round.clientShare = cpu / (wall * static_cast<double>(cores));
  for (const Captured& run : runs) {
    long connections = -1;
    std::istringstream lines(run.output);
    std::string line;
    while (std::getline(lines, line)) {
      long n = 0;
      int seconds = 0;
      if (std::sscanf(line.c_str(), "%ld connections in %d real seconds", &n, &seconds) == 2) {
        connections = n;
      }
    }
    if (run.status != 0 || connections < 0 || run.seconds <= 0) {
      ++round.failed;
      if (round.failed == 1 && !bench::stopRequested()) {
        std::printf("  s_time failed (status %d):\n%s\n", run.status, run.output.c_str());
      }
      continue;
    }
    round.connections += connections;
    round.rate += static_cast<double>(connections) / run.seconds;
  }
  return round;
}

// ---- the run -----------------------------------------------------------------------------

bool parseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string word = argv[i];
    const std::string value = argv[i + 1];
    if (word == "--seconds") options.seconds = std::atof(value.c_str());
    else if (word == "--rounds") options.rounds = std::atoi(value.c_str());
    else if (word == "--page-seconds") options.pageSeconds = std::atoi(value.c_str());
    else if (word == "--page-clients") options.pageClients = std::atoi(value.c_str());
    else if (word == "--clients" && !(options.levels = bench::parseLevels(value)).empty()) continue;
    else if (word == "--before") options.before = value;
    else if (word == "--engine") options.engine = value;
    else return false;
  }
  return argc % 2 == 1 && options.seconds > 0 && options.rounds > 0 && options.pageSeconds > 0 &&
         options.pageClients > 0 && !options.levels.empty();
}

const char* verdict(bool met) { return met ? "met" : "NOT met"; }

int run(const Options& options, const std::string& folder) {
  Pki pki;
  if (!makeCertificates(folder, pki)) {
    std::fprintf(stderr, "could not make the certificates (see the openssl command)\n");
    return 1;
  }
  const std::string bin = bench::binaryDirectory();
  Daemon tls{"vornd-tls", "benchtls"}, clear{"clear", "benchclear"},
      before{"before", "benchbefore"};
  tls.port = bench::freePort();
  startDaemon(bin + "/vornd", tls, options, "Required", pki);
  clear.port = bench::freePort();
  startDaemon(bin + "/vornd", clear, options, "", pki);
  std::vector<Daemon*> daemons = {&tls, &clear};
  if (!options.before.empty()) {
    before.port = bench::freePort();
    startDaemon(options.before, before, options, "", pki);
    daemons.push_back(&before);
  }
  for (const Daemon* daemon : daemons) {
    if (daemon->pid < 0 || !bench::waitUntilListening(daemon->port, daemon->pid)) {
      std::fprintf(stderr, "%s did not start\n", daemon->name.c_str());
      return 1;
    }
  }
  for (const Daemon* daemon : daemons) {
    for (pid_t master : childrenNamed(daemon->pid, "vornd-tls-maste")) {
      g_masters.push_back({master, daemon->pid, "vornd-tls-maste"});
    }
  }
  const int stunnelPort = bench::freePort();
  const std::string stunnelConfig = folder + "/stunnel.conf";
  if (!writeStunnelConfig(stunnelConfig, stunnelPort, clear.port, pki)) return 1;
  const pid_t stunnel = bench::startProgram({"/usr/bin/stunnel4", stunnelConfig});
  if (stunnel < 0 || !bench::waitUntilListening(stunnelPort, stunnel)) {
    std::fprintf(stderr, "stunnel did not start (apt-get install stunnel4)\n");
    return 1;
  }
  // The pages' reference: one openssl s_server process answering -www
  // with its own small page, no daemon and no process per connection.
  const int referencePort = bench::freePort();
  const pid_t reference = bench::startProgram(
      {"/usr/bin/openssl", "s_server", "-quiet", "-www", "-accept", std::to_string(referencePort),
       "-cert", pki.certificate, "-key", pki.key});
  const bool referenceUp = reference >= 0 && bench::waitUntilListening(referencePort, reference);
  // The relay master says it is ready before the daemon listens; give the
  // rest a moment all the same.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  std::printf("vornd TLS on the login port beside stunnel4 in front of the clear daemon; "
              "engine %s; TLS 1.3, EC P-256 certificate, full handshake every connection\n\n",
              options.engine.c_str());

  // Memory first, while nothing else is under way.
  const IdleMemory relay = relaySessionMemory(pki, tls);
  const StunnelMemory tunnel = stunnelMemory(pki, stunnel, stunnelPort);
  std::printf("memory of one idle TLS session (handshake done, nothing sent):\n");
  if (relay.found) {
    std::printf("  vornd-tls session process: VmRSS %ld kB, private %ld kB "
                "(its master: VmRSS %ld kB, private %ld kB)\n",
                relay.session.rssKb, relay.session.privateKb, relay.master.rssKb,
                relay.master.privateKb);
  } else {
    std::printf("  vornd-tls session process: not found (%d session processes)\n",
                relay.sessions);
  }
  std::printf("  stunnel (one process, %ld threads idle, %ld holding it; %d child processes "
              "while held%s): VmRSS %ld kB -> %ld kB (+%ld), private %ld kB -> %ld kB (+%ld)\n\n",
              tunnel.before.threads, tunnel.held.threads, tunnel.childrenHeld,
              tunnel.handshook ? "" : "; its handshake FAILED", tunnel.before.rssKb,
              tunnel.held.rssKb, tunnel.held.rssKb - tunnel.before.rssKb,
              tunnel.before.privateKb, tunnel.held.privateKb,
              tunnel.held.privateKb - tunnel.before.privateKb);

  // Logins.
  // The first two are the comparison the goals take: clients as they
  // are, Nagle's algorithm on. The "/nd" rows are the same clients with
  // TCP_NODELAY, which shows what of the difference is the wait for a
  // delayed acknowledgement.
  std::vector<Setup> setups = {{"vornd-tls", tls.port, true, false},
                               {"stunnel", stunnelPort, true, false},
                               {"clear", clear.port, false, false}};
  if (!options.before.empty()) setups.push_back({"before", before.port, false, false});
  setups.push_back({"vornd-tls/nd", tls.port, true, true});
  setups.push_back({"stunnel/nd", stunnelPort, true, true});
  std::printf("accepted logins per second, engine %s, clients each repeating a login and "
              "waiting for its end, median of %d rounds of %.1f s, set-ups in turn:\n",
              options.engine.c_str(), options.rounds, options.seconds);
  std::vector<LevelResult> levels;
  for (int clients : options.levels) {
    LevelResult level;
    level.rates.resize(setups.size());
    level.totals.resize(setups.size());
    for (const Setup& setup : setups) {  // warm-up, not counted
      if (setup.tls) {
        runTlsLoad(pki.ca, setup.port, clients, std::min(0.3, options.seconds), setup.noDelay);
      }
      else bench::runLoad(setup.port, clients, std::min(0.3, options.seconds), true);
    }
    for (int round = 0; round < options.rounds && !bench::stopRequested(); ++round) {
      for (std::size_t s = 0; s < setups.size(); ++s) {
        const bench::LoadResult result =
            setups[s].tls ? runTlsLoad(pki.ca, setups[s].port, clients, options.seconds,
                                       setups[s].noDelay)
                          : bench::runLoad(setups[s].port, clients, options.seconds, true);
        level.rates[s].push_back(result.accepted / result.seconds);
        level.totals[s].add(result);
      }
    }
    if (bench::stopRequested()) return 130;
    for (std::size_t s = 0; s < setups.size(); ++s) {
      const bench::LoadResult& total = level.totals[s];
      std::printf("%3d clients %-12s %7.0f/s  rounds", clients, setups[s].name.c_str(),
                  bench::median(level.rates[s]));
      for (double rate : level.rates[s]) std::printf(" %.0f", rate);
      std::printf("  latency ms p50 %.2f p99 %.2f max %.2f  errors %s\n",
                  bench::percentile(total.latenciesMs, 0.50),
                  bench::percentile(total.latenciesMs, 0.99),
                  bench::percentile(total.latenciesMs, 1.0), errorText(total).c_str());
    }
    levels.push_back(std::move(level));
  }

  // Status pages.
  std::printf("\nstatus pages over TLS, %d `openssl s_time -new -tls1_3 -www /` at once, "
              "rounds of %d s in turn:\n",
              options.pageClients, options.pageSeconds);
  std::vector<double> pageTls, pageTunnel, pageReference, ceilings;
  int pageFailures = 0;
  for (int round = 0; round < options.rounds && !bench::stopRequested(); ++round) {
    const PageRound a = pageRound(tls.port, options);
    const PageRound b = pageRound(stunnelPort, options);
    const PageRound c = referenceUp ? pageRound(referencePort, options) : PageRound{};
    if (bench::stopRequested()) break;
    pageTls.push_back(a.rate);
    pageTunnel.push_back(b.rate);
    pageReference.push_back(c.rate);
    pageFailures += a.failed + b.failed;
    std::printf("round %d  vornd-tls %7.0f/s (%ld pages, %d s_time failed)   stunnel %7.0f/s "
                "(%ld pages, %d s_time failed)   s_server -www %7.0f/s\n",
                round + 1, a.rate, a.connections, a.failed, b.rate, b.connections, b.failed,
                c.rate);
    std::printf("         the s_time clients' own share of the CPU (machine busy): vornd-tls %.2f "
                "(%.2f)   stunnel %.2f (%.2f)   s_server %.2f (%.2f)\n",
                a.clientShare, a.busy, b.clientShare, b.busy, c.clientShare, c.busy);
    ceilings.push_back(b.ceiling());
  }
  if (bench::stopRequested()) return 130;
  const double pagesTls = bench::median(pageTls), pagesTunnel = bench::median(pageTunnel);
  const double pagesReference = bench::median(pageReference);
  std::printf("median   vornd-tls %.0f/s   stunnel %.0f/s   ratio %.2f   s_server -www %.0f/s "
              "(%.2f x stunnel: what one process doing nothing but the handshake and a page "
              "reaches beside these clients)\n",
              pagesTls, pagesTunnel, pagesTunnel > 0 ? pagesTls / pagesTunnel : 0, pagesReference,
              pagesTunnel > 0 ? pagesReference / pagesTunnel : 0);
  // With the machine saturated, the clients' own CPU per page bounds every
  // server: were the server, the kernel's TCP and the page free, the
  // clients alone would reach no more than this.
  const double ceiling = bench::median(ceilings);
  std::printf("ceiling  %.0f/s (%.2f x stunnel): the stunnel rounds' rate over the s_time clients' "
              "own share of the CPU, what a server that cost nothing could reach beside them\n",
              ceiling, pagesTunnel > 0 ? ceiling / pagesTunnel : 0);

  // The table.
  std::printf("\n%7s %-12s %9s %10s %9s %9s  %s\n", "clients", "set-up", "logins/s", "vs stunnel",
              "p50 ms", "p99 ms", "errors");
  for (std::size_t l = 0; l < levels.size(); ++l) {
    for (std::size_t s = 0; s < setups.size(); ++s) {
      // Each row beside stunnel with clients of the same kind.
      const double tunnelRate = bench::median(levels[l].rates[setups[s].noDelay ? setups.size() - 1 : 1]);
      const double rate = bench::median(levels[l].rates[s]);
      std::printf("%7d %-12s %9.0f %10.3f %9.2f %9.2f  %ld\n", options.levels[l],
                  setups[s].name.c_str(), rate, tunnelRate > 0 ? rate / tunnelRate : 0,
                  bench::percentile(levels[l].totals[s].latenciesMs, 0.50),
                  bench::percentile(levels[l].totals[s].latenciesMs, 0.99),
                  levels[l].totals[s].errors());
    }
  }
  std::printf("%7d %-12s %9.0f %10.3f %9s %9s  %d s_time runs failed\n", options.pageClients,
              "pages tls", pagesTls, pagesTunnel > 0 ? pagesTls / pagesTunnel : 0, "-", "-",
              pageFailures);
  std::printf("%7d %-12s %9.0f %10s\n", options.pageClients, "pages stunnel", pagesTunnel,
              "1.000");

  std::printf("\ngoals:\n");
  std::printf("  status pages at %d clients, vornd-tls >= 2 x stunnel: %.2f x, %s\n",
              options.pageClients, pagesTunnel > 0 ? pagesTls / pagesTunnel : 0,
              verdict(pagesTunnel > 0 && pagesTls >= 2 * pagesTunnel && pageFailures == 0));
  int sixteen = -1;
  for (std::size_t l = 0; l < levels.size(); ++l) {
    if (options.levels[l] == 16) sixteen = static_cast<int>(l);
  }
  if (sixteen >= 0) {
    const LevelResult& level = levels[static_cast<std::size_t>(sixteen)];
    const double t = bench::median(level.rates[0]), s = bench::median(level.rates[1]);
    std::printf("  TLS logins at 16 clients, vornd-tls >= stunnel: %.0f/s vs %.0f/s (%.3f), "
                "%ld errors, %s\n",
                t, s, s > 0 ? t / s : 0, level.totals[0].errors(),
                verdict(s > 0 && t >= s && level.totals[0].errors() == 0));
    const std::size_t last = setups.size() - 1;
    const double tn = bench::median(level.rates[last - 1]), sn = bench::median(level.rates[last]);
    std::printf("  (the same with TCP_NODELAY clients: %.0f/s vs %.0f/s (%.3f), %ld errors)\n", tn,
                sn, sn > 0 ? tn / sn : 0, level.totals[last - 1].errors());
    if (!options.before.empty()) {
      const double c = bench::median(level.rates[2]), b = bench::median(level.rates[3]);
      std::printf("  clear logins at 16 clients, SockTLS No >= 0.95 x before: %.0f/s vs %.0f/s "
                  "(%.3f), %s\n",
                  c, b, b > 0 ? c / b : 0, verdict(b > 0 && c >= 0.95 * b));
    } else {
      std::printf("  clear logins at 16 clients against the build before: not measured "
                  "(no --before)\n");
    }
  } else {
    std::printf("  logins at 16 clients: not measured (no level 16 in --clients)\n");
  }
  std::printf("  an idle session's relay < 2 MB private: %s\n",
              relay.found ? (std::to_string(relay.session.privateKb) + " kB, " +
                             verdict(relay.session.privateKb < 2048))
                                .c_str()
                          : "not measured");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: vornd_bench_tls [--seconds S] [--rounds R] [--page-seconds N]"
                 " [--page-clients C] [--clients 1,16] [--before PATH] [--engine PATH]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  bench::installStopHandlers();
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  // A throw-away folder for the registry, the certificates and stunnel's
  // configuration.
  char folderTemplate[] = "/tmp/vornd-bench-tls-XXXXXX";
  if (mkdtemp(folderTemplate) == nullptr) return 2;
  const std::string folder = folderTemplate;
  setenv("VORND_ROOT", folder.c_str(), 1);

  int status = run(options, folder);
  if (bench::stopRequested()) status = 130;

  // The daemons' relays and their sessions end on their own once the
  // daemons and the connections are gone; they are checked for.
  std::vector<pid_t> started;
  for (const ProcessInfo& info : processes()) {
    if (info.parent == getpid()) started.push_back(info.pid);
  }
  std::vector<ProcessInfo> grandchildren;
  {
    const std::vector<pid_t> below = descendants(started);
    for (const ProcessInfo& info : processes()) {
      const bool underMaster =
          std::any_of(g_masters.begin(), g_masters.end(),
                      [&](const ProcessInfo& master) { return info.parent == master.pid; });
      if (underMaster || std::find(below.begin(), below.end(), info.pid) != below.end()) {
        grandchildren.push_back(info);
      }
    }
    for (const ProcessInfo& master : g_masters) {
      if (std::none_of(grandchildren.begin(), grandchildren.end(),
                       [&](const ProcessInfo& info) { return info.pid == master.pid; })) {
        grandchildren.push_back(master);
      }
    }
  }
  stopCaptured();
  bench::stopAll();
  // Only a process that still bears the name it had counts: a number the
  // kernel has given to another process since is left alone.
  const auto stillThere = [](const ProcessInfo& info) {
    std::ifstream comm("/proc/" + std::to_string(info.pid) + "/comm");
    std::string name;
    return std::getline(comm, name) && name == info.name;
  };
  int left = 0;
  for (int i = 0; i < 100; ++i) {
    left = 0;
    for (const ProcessInfo& info : grandchildren) left += stillThere(info);
    if (left == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (left > 0) {
    std::printf("%d processes of the daemons still there 5 s after their stop; ended now\n", left);
    for (const ProcessInfo& info : grandchildren) {
      if (stillThere(info)) kill(info.pid, SIGKILL);
    }
  }
  const std::string remove = "rm -rf " + shellQuote(folder);
  if (std::system(remove.c_str()) != 0 && status == 0) status = 1;
  return status;
}
