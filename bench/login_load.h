// Clients of the login port for the launch benchmark: one login at a time
// per client, several clients at once, each login bounded in time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

constexpr std::size_t kLoginSize = 331;
// A login that has not ended this long after its connect began is given up.
constexpr int kLoginTimeoutMs = 10000;

enum class Outcome {
  Accepted,       // the acceptance, then (when waited for) the end
  ConnectFailed,  // refused or reset before the record was sent
  BadReply,       // the connection ended before two bytes, or not 0x00 0x01
  BadEnd,         // more bytes or a reset where the end was waited for
  TimedOut,       // some step still waiting after kLoginTimeoutMs
};

struct Login {
  Outcome outcome = Outcome::ConnectFailed;
  // From the start of the connect to the whole reply, in milliseconds.
  double latencyMs = 0;
};

// A non-blocking socket bound to a source address (host order); the port
// is picked at the connect, not at the bind.
int socketFrom(std::uint32_t address);

// Waits for events on a non-blocking socket until the deadline: false when
// the time ran out (a failed poll is left for the next call to report).
bool waitFor(int fd, short events, std::chrono::steady_clock::time_point deadline);

// One client's login: connect, send the record, read the 2-byte reply,
// then, with untilEnd, read until the server's side ends the connection.
// Client n connects from 127.0.0.<n % 250 + 1>. `header` goes before the
// record, in the same send (a balancer's PROXY header).
Login oneLogin(int port, bool untilEnd, int client = 0, const std::string& header = {});

// The PROXY v2 header a balancer would send for client n: TCP over IPv4
// from 198.51.100.<n % 250 + 1>.
std::string proxyV2Header(int client);

struct LoadResult {
  long accepted = 0;
  long connectFailed = 0;
  long badReply = 0;
  long badEnd = 0;
  long timedOut = 0;
  // From the common start until the last client finished its last login.
  double seconds = 0;
  std::vector<double> latenciesMs;  // accepted logins only

  long errors() const { return connectFailed + badReply + badEnd + timedOut; }
  void add(const LoadResult& other);
  // One login's outcome, counted where it belongs.
  void count(const Login& login);
};

// clients threads, each repeating oneLogin until seconds have passed since
// their common start; a login under way then is finished and counted.
// With proxied, each login begins with its client's proxyV2Header.
LoadResult runLoad(int port, int clients, double seconds, bool untilEnd, bool proxied = false);

// The value at fraction (0..1] of the sorted values, nearest rank.
double percentile(std::vector<double> values, double fraction);

// Connections opened to the port that send nothing, each from an address
// of its own; closed when it goes.
class SilentClients {
 public:
  SilentClients(int port, int count);
  ~SilentClients();
  SilentClients(const SilentClients&) = delete;
  SilentClients& operator=(const SilentClients&) = delete;

  // Waits until every connect finished or the time is up: the number
  // established on the client's side.
  int waitConnected(int milliseconds);

 private:
  std::vector<int> m_sockets;
};

}  // namespace bench
