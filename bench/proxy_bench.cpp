// Logins per second through the PROXY protocol against without, on one
// machine: two instances of the built daemon, alike but for
// ProxyProtocolFrom, each with a `/bin/true` engine; the same clients
// (one loopback address per client thread) log in to each in turn, those
// of the proxied instance beginning each connection with a v2 header that
// names a client of their own, as HAProxy's send-proxy-v2 does.
//
//   vornd_bench_proxy [--clients 16] [--seconds S] [--rounds R]
//
// Prints each round and the median of each set-up, and the goal: with
// headers at least 0.95 x without.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.h"
#include "login_load.h"

namespace {

struct Instance {
  std::string service;
  int port = 0;
  pid_t pid = -1;
};

bool startInstance(Instance& instance, const std::string& proxyFrom) {
  instance.port = bench::freePort();
  const std::string& s = instance.service;
  const bool configured = bench::setConfig(s, "SockPort", std::to_string(instance.port)) &&
                          bench::setConfig(s, "SockListenAddress", "127.0.0.1") &&
                          bench::setConfig(s, "AuthenticationMethod", "Vorn") &&
                          bench::setConfig(s, "VornExecutable", "/bin/true") &&
                          bench::setConfig(s, "CreateDesktop", "No") &&
                          bench::setConfig(s, "IncludeSystemEnv", "No") &&
                          bench::setConfig(s, "LogCreate", "No") &&
                          bench::setConfig(s, "MaxPendingPerSource", "64") &&
                          bench::setConfig(s, "ProxyProtocolFrom", proxyFrom);
  if (!configured) return false;
  instance.pid = bench::startProgram({bench::binaryDirectory() + "/vornd", "-debug", s});
  return instance.pid > 0 && bench::waitUntilListening(instance.port, instance.pid);
}

}  // namespace

int main(int argc, char** argv) {
  int clients = 16, rounds = 3;
  double seconds = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string word = argv[i];
    if (word == "--clients") clients = std::atoi(argv[i + 1]);
    else if (word == "--seconds") seconds = std::atof(argv[i + 1]);
    else if (word == "--rounds") rounds = std::atoi(argv[i + 1]);
    else {
      std::fprintf(stderr, "usage: vornd_bench_proxy [--clients N] [--seconds S] [--rounds R]\n");
      return 2;
    }
  }
  if (clients < 1 || rounds < 1 || seconds <= 0) return 2;
  bench::installStopHandlers();
  char folder[] = "/tmp/vornd-bench-proxy-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  setenv("VORND_ROOT", folder, 1);

  Instance plain{"benchplain"}, proxied{"benchproxied"};
  if (!startInstance(plain, "") || !startInstance(proxied, "127.0.0.0/8")) {
    std::fprintf(stderr, "the daemons did not start\n");
    bench::stopAll();
    return 1;
  }
  std::printf("%d clients, rounds of %.1f s in turn, /bin/true engine\n", clients, seconds);
  std::vector<double> without, with;
  long errors = 0;
  for (int round = 0; round < rounds && !bench::stopRequested(); ++round) {
    const bench::LoadResult a = bench::runLoad(plain.port, clients, seconds, true, false);
    const bench::LoadResult b = bench::runLoad(proxied.port, clients, seconds, true, true);
    without.push_back(static_cast<double>(a.accepted) / a.seconds);
    with.push_back(static_cast<double>(b.accepted) / b.seconds);
    errors += a.errors() + b.errors();
    std::printf("round %d  without %7.0f/s (p99 %.2f ms, %ld errors)   PROXY v2 %7.0f/s (p99 %.2f ms, "
                "%ld errors)\n",
                round + 1, without.back(), bench::percentile(a.latenciesMs, 0.99), a.errors(),
                with.back(), bench::percentile(b.latenciesMs, 0.99), b.errors());
  }
  bench::stopAll();
  const double w = bench::median(without), p = bench::median(with);
  std::printf("median   without %.0f/s   PROXY v2 %.0f/s   ratio %.3f\n", w, p, w > 0 ? p / w : 0);
  const bool met = w > 0 && p >= 0.95 * w && errors == 0;
  std::printf("goal: logins with a PROXY v2 header >= 0.95 x without, no errors: %s\n",
              met ? "met" : "NOT met");
  std::string remove = std::string("rm -rf ") + folder;
  if (std::system(remove.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", folder);
  return 0;
}
