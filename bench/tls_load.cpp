// The benchmark's TLS client: a login as a real client makes it, over a
// fresh full TLS 1.3 handshake, and clients repeating it at once.
#include "tls_load.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <thread>

#include "bench_support.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;




enum class Step { Done, Ended, Failed, TimedOut };

// Repeats a non-blocking TLS call until it completes, waiting on the socket
// for what it wants.
Step drive(SSL* ssl, int fd, const std::function<int()>& call, Clock::time_point deadline) {
  for (;;) {
    ERR_clear_error();
    const int result = call();
    if (result > 0) return Step::Done;
    switch (SSL_get_error(ssl, result)) {
      case SSL_ERROR_WANT_READ:
        if (!waitFor(fd, POLLIN, deadline)) return Step::TimedOut;
        break;
      case SSL_ERROR_WANT_WRITE:
        if (!waitFor(fd, POLLOUT, deadline)) return Step::TimedOut;
        break;
      case SSL_ERROR_ZERO_RETURN:
        return Step::Ended;
      default:
        return Step::Failed;
    }
  }
}

bool connectTo(int fd, int port, Clock::time_point deadline, bool* timedOut) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return true;
  if (errno != EINPROGRESS) return false;
  if (!waitFor(fd, POLLOUT, deadline)) {
    *timedOut = true;
    return false;
  }
  int error = 0;
  socklen_t length = sizeof error;
  return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

}  // namespace

// What a real client sets up once: TLS 1.3, the CA to verify against, the
// address the certificate must name.
SSL_CTX* clientContext(const std::string& caFile) {
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION);
  SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION);
  // A fresh full handshake every login: nothing cached to offer again.
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  if (SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) != 1 ||
      X509_VERIFY_PARAM_set1_ip_asc(SSL_CTX_get0_param(context), "127.0.0.1") != 1) {
    SSL_CTX_free(context);
    return nullptr;
  }
  return context;
}

TlsConnection handshake(SSL_CTX* context, int port, int client, bool noDelay,
                        Clock::time_point deadline) {
  TlsConnection connection;
  connection.fd = bench::socketFrom(INADDR_LOOPBACK + static_cast<std::uint32_t>(client % 250));
  if (noDelay && connection.fd >= 0) {
    const int on = 1;
    setsockopt(connection.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  bool timedOut = false;
  if (connection.fd < 0 || !connectTo(connection.fd, port, deadline, &timedOut)) {
    connection.failure = timedOut ? Outcome::TimedOut : Outcome::ConnectFailed;
    connection.close();
    return connection;
  }
  connection.ssl = SSL_new(context);
  if (connection.ssl == nullptr || SSL_set_fd(connection.ssl, connection.fd) != 1) {
    connection.close();
    return connection;
  }
  SSL* ssl = connection.ssl;
  const Step done = drive(ssl, connection.fd, [ssl] { return SSL_connect(ssl); }, deadline);
  if (done != Step::Done) {
    connection.failure = done == Step::TimedOut ? Outcome::TimedOut : Outcome::ConnectFailed;
    connection.close();
  }
  return connection;
}

namespace {

Step readExactly(SSL* ssl, int fd, char* buffer, int size, Clock::time_point deadline) {
  int got = 0;
  while (got < size) {
    int n = 0;
    const Step step =
        drive(ssl, fd, [&] { return n = SSL_read(ssl, buffer + got, size - got); }, deadline);
    if (step != Step::Done) return step;
    got += n;
  }
  return Step::Done;
}

}  // namespace

// One login over TLS; the latency runs from the connect to the reply, as
// for the clear clients.
Login tlsLogin(SSL_CTX* context, int port, int client, bool noDelay) {
  bench::Login login;
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + std::chrono::milliseconds(bench::kLoginTimeoutMs);
  TlsConnection connection = handshake(context, port, client, noDelay, deadline);
  if (connection.ssl == nullptr) {
    login.outcome = connection.failure;
    return login;
  }
  SSL* ssl = connection.ssl;
  const int fd = connection.fd;
  char record[bench::kLoginSize] = {'b', 'e', 'n', 'c', 'h'};
  const Step sent = drive(
      ssl, fd, [&] { return SSL_write(ssl, record, static_cast<int>(sizeof record)); }, deadline);
  char reply[2];
  char rest;
  if (sent != Step::Done) {
    login.outcome = sent == Step::TimedOut ? Outcome::TimedOut : Outcome::ConnectFailed;
  } else if (const Step answered = readExactly(ssl, fd, reply, 2, deadline);
             answered != Step::Done || reply[0] != 0 || reply[1] != 1) {
    login.outcome = answered == Step::TimedOut ? Outcome::TimedOut : Outcome::BadReply;
  } else {
    login.latencyMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const Step ended = readExactly(ssl, fd, &rest, 1, deadline);
    login.outcome = ended == Step::Ended      ? Outcome::Accepted
                    : ended == Step::TimedOut ? Outcome::TimedOut
                                              : Outcome::BadEnd;
  }
  connection.close();
  return login;
}

// clients threads, each with a client context of its own made before the
// common start, repeating logins until seconds have passed; what is under
// way then is finished and counted.
LoadResult runTlsLoad(const std::string& caFile, int port, int clients, double seconds,
                             bool noDelay) {
  std::vector<bench::LoadResult> perClient(static_cast<std::size_t>(clients));
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  Clock::time_point start, end;
  std::vector<std::thread> threads;
  for (int client = 0; client < clients; ++client) {
    bench::LoadResult& mine = perClient[static_cast<std::size_t>(client)];
    threads.emplace_back([&, client] {
      SSL_CTX* context = clientContext(caFile);
      ready.fetch_add(1);
      while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
      while (context != nullptr && Clock::now() < end && !bench::stopRequested()) {
        const bench::Login login = tlsLogin(context, port, client, noDelay);
        mine.count(login);
      }
      if (context == nullptr) ++mine.connectFailed;
      SSL_CTX_free(context);
    });
  }
  while (ready.load() < clients) std::this_thread::yield();
  start = Clock::now();
  end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  go.store(true, std::memory_order_release);
  for (std::thread& thread : threads) thread.join();
  bench::LoadResult total;
  for (const bench::LoadResult& mine : perClient) total.add(mine);
  total.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return total;
}

}  // namespace bench
