#include "login_load.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <thread>

#include "bench_support.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A socket that connects from 127.0.0.<client % 250 + 1>: each client
// comes from an address of its own, as clients from many hosts do, so no
// server's cap per source is what is measured.
int clientSocket(int client) {
  return socketFrom(INADDR_LOOPBACK + static_cast<std::uint32_t>(client % 250));
}


enum class Step { Done, Ended, Failed, TimedOut };

Step readExactly(int fd, char* buffer, std::size_t size, Clock::time_point deadline) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = read(fd, buffer + got, size - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0) {
      return Step::Ended;
    } else if (errno == EAGAIN || errno == EINTR) {
      if (!waitFor(fd, POLLIN, deadline)) return Step::TimedOut;
    } else {
      return Step::Failed;
    }
  }
  return Step::Done;
}

Step writeAll(int fd, const char* bytes, std::size_t size, Clock::time_point deadline) {
  std::size_t sent = 0;
  while (sent < size) {
    const ssize_t n = send(fd, bytes + sent, size - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!waitFor(fd, POLLOUT, deadline)) return Step::TimedOut;
    } else {
      return Step::Failed;
    }
  }
  return Step::Done;
}

Outcome exchange(int fd, int port, bool untilEnd, Clock::time_point start, double* latencyMs,
                 const std::string& header) {
  const Clock::time_point deadline = start + std::chrono::milliseconds(kLoginTimeoutMs);
  const sockaddr_in address = loopback(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINPROGRESS) return Outcome::ConnectFailed;
    if (!waitFor(fd, POLLOUT, deadline)) return Outcome::TimedOut;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      return Outcome::ConnectFailed;
    }
  }
  std::string record(kLoginSize, '\0');
  record.replace(0, 5, "bench");
  record.insert(0, header);
  const Step sent = writeAll(fd, record.data(), record.size(), deadline);
  if (sent == Step::TimedOut) return Outcome::TimedOut;
  if (sent != Step::Done) return Outcome::ConnectFailed;

  char reply[2];
  const Step answered = readExactly(fd, reply, 2, deadline);
  if (answered == Step::TimedOut) return Outcome::TimedOut;
  if (answered != Step::Done || reply[0] != 0 || reply[1] != 1) return Outcome::BadReply;
  *latencyMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  if (!untilEnd) return Outcome::Accepted;

  char rest;
  const Step ended = readExactly(fd, &rest, 1, deadline);
  if (ended == Step::TimedOut) return Outcome::TimedOut;
  return ended == Step::Ended ? Outcome::Accepted : Outcome::BadEnd;
}

}  // namespace

// Waits for events on a non-blocking socket until the deadline: false when
// the time ran out.
bool waitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, static_cast<int>(left));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return true;  // let the next call report it
  }
}

int socketFrom(std::uint32_t address) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return fd;
  const int on = 1;
  setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
  sockaddr_in source{};
  source.sin_family = AF_INET;
  source.sin_addr.s_addr = htonl(address);
  bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source);
  return fd;
}

Login oneLogin(int port, bool untilEnd, int client, const std::string& header) {
  Login login;
  const Clock::time_point start = Clock::now();
  const int fd = clientSocket(client);
  if (fd < 0) return login;
  login.outcome = exchange(fd, port, untilEnd, start, &login.latencyMs, header);
  close(fd);
  return login;
}

void LoadResult::count(const Login& login) {
  switch (login.outcome) {
    case Outcome::Accepted:
      ++accepted;
      latenciesMs.push_back(login.latencyMs);
      break;
    case Outcome::ConnectFailed: ++connectFailed; break;
    case Outcome::BadReply: ++badReply; break;
    case Outcome::BadEnd: ++badEnd; break;
    case Outcome::TimedOut: ++timedOut; break;
  }
}

void LoadResult::add(const LoadResult& other) {
  accepted += other.accepted;
  connectFailed += other.connectFailed;
  badReply += other.badReply;
  badEnd += other.badEnd;
  timedOut += other.timedOut;
  seconds += other.seconds;
  latenciesMs.insert(latenciesMs.end(), other.latenciesMs.begin(), other.latenciesMs.end());
}

std::string proxyV2Header(int client) {
  std::string header("\r\n\r\n\0\r\nQUIT\n\x21\x11\x00\x0c", 16);
  const unsigned char addresses[12] = {198, 51, 100, static_cast<unsigned char>(client % 250 + 1),
                                       127, 0, 0, 1,
                                       static_cast<unsigned char>((40000 + client) >> 8),
                                       static_cast<unsigned char>((40000 + client) & 0xFF),
                                       0x1f, 0x7c};
  header.append(reinterpret_cast<const char*>(addresses), sizeof addresses);
  return header;
}

LoadResult runLoad(int port, int clients, double seconds, bool untilEnd, bool proxied) {
  std::vector<LoadResult> perClient(static_cast<std::size_t>(clients));
  std::atomic<bool> go{false};
  Clock::time_point start, end;
  std::vector<std::thread> threads;
  for (int client = 0; client < clients; ++client) {
    LoadResult& mine = perClient[static_cast<std::size_t>(client)];
    threads.emplace_back([&, port, untilEnd, client] {
      const std::string header = proxied ? proxyV2Header(client) : std::string();
      while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
      while (Clock::now() < end && !stopRequested()) {
        const Login login = oneLogin(port, untilEnd, client, header);
        mine.count(login);
      }
    });
  }
  start = Clock::now();
  end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  go.store(true, std::memory_order_release);
  for (std::thread& thread : threads) thread.join();
  LoadResult total;
  for (const LoadResult& mine : perClient) total.add(mine);
  total.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return total;
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size())));
  return values[std::min(values.size(), std::max<std::size_t>(rank, 1)) - 1];
}

SilentClients::SilentClients(int port, int count) {
  const sockaddr_in address = loopback(port);
  for (int i = 0; i < count; ++i) {
    const int fd = clientSocket(i);
    if (fd < 0) continue;
    connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    m_sockets.push_back(fd);
  }
}

SilentClients::~SilentClients() {
  for (int fd : m_sockets) close(fd);
}

int SilentClients::waitConnected(int milliseconds) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  int connected = 0;
  for (;;) {
    // A socket whose handshake is done has a peer; one still sending its
    // SYN has none yet.
    connected = 0;
    for (int fd : m_sockets) {
      sockaddr_in peer{};
      socklen_t size = sizeof peer;
      if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0) ++connected;
    }
    if (connected == static_cast<int>(m_sockets.size()) || Clock::now() >= deadline ||
        stopRequested()) {
      return connected;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace bench
