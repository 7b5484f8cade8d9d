// The tests' side of the relay: they play the daemon (the channel, the
// listener, the inner stream) and the TLS client, on loopback only.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tls_testing {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Reads and writes on test sockets give up after this, so a relay that
// stalls fails a test instead of hanging it.
constexpr auto kIoTimeout = 10s;

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : m_fd(fd) {}
  Fd(Fd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    reset(std::exchange(other.m_fd, -1));
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return m_fd; }
  void reset(int fd = -1) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
  }

 private:
  int m_fd = -1;
};

inline void setIoTimeout(int fd) {
  timeval limit{static_cast<time_t>(kIoTimeout.count()), 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

// One line from a stream, without its newline; nullopt when none came in
// time or the stream ended first.
inline std::optional<std::string> readLine(int fd, std::chrono::milliseconds limit = kIoTimeout) {
  const Clock::time_point deadline = Clock::now() + limit;
  std::string line;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now());
    pollfd watch{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&watch, 1, static_cast<int>(left.count())) <= 0) {
      return std::nullopt;
    }
    char c;
    if (::recv(fd, &c, 1, 0) != 1) return std::nullopt;
    if (c == '\n') return line;
    line += c;
  }
}

inline bool writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (wrote <= 0) return false;
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

// Everything up to the end of the stream; nullopt when it fails or stays
// open past the time limit instead.
inline std::optional<std::string> readToEnd(int fd) {
  std::string bytes;
  char buffer[16384];
  ssize_t got;
  while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0) bytes.append(buffer, got);
  if (got < 0) return std::nullopt;
  return bytes;
}

inline std::string patternBytes(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  unsigned state = seed * 2654435761u + 1;
  for (char& c : bytes) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 16);
  }
  return bytes;
}

// A master started as the daemon starts it: the channel as descriptor 3,
// the standard descriptors on /dev/null.
class RelayMaster {
 public:
  explicit RelayMaster(const std::vector<std::string>& arguments) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return;
    m_channel.reset(pair[0]);
    const int theirs = pair[1];
    std::vector<std::string> argv{VORND_TLS_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    for (std::string& argument : argv) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    m_pid = ::fork();
    if (m_pid == 0) {
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      if (theirs == 3) {
        ::fcntl(3, F_SETFD, 0);
      } else {
        ::dup2(theirs, 3);
      }
      ::execv(pointers[0], pointers.data());
      ::_exit(127);
    }
    ::close(theirs);
  }
  ~RelayMaster() {
    m_channel.reset();
    if (m_pid > 0 && !m_exitStatus) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
  }
  RelayMaster(const RelayMaster&) = delete;
  RelayMaster& operator=(const RelayMaster&) = delete;

  pid_t pid() const { return m_pid; }

  // The next channel message; nullopt when none came in time or the
  // channel ended.
  std::optional<std::string> receive(std::chrono::milliseconds limit = kIoTimeout) {
    pollfd watch{m_channel.get(), POLLIN, 0};
    if (::poll(&watch, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
    char message[4096];
    const ssize_t got = ::recv(m_channel.get(), message, sizeof message, 0);
    if (got <= 0) return std::nullopt;
    return std::string(message, static_cast<std::size_t>(got));
  }

  // Skips warnings; true when the master said it is ready.
  bool waitReady() {
    for (;;) {
      const std::optional<std::string> message = receive();
      if (!message) return false;
      if (message->rfind("warning ", 0) == 0) continue;
      return *message == "ready";
    }
  }

  bool send(const std::string& payload, const std::vector<int>& fds) {
    iovec part{const_cast<char*>(payload.data()), payload.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    std::vector<char> control(CMSG_SPACE(sizeof(int) * (fds.empty() ? 1 : fds.size())));
    if (!fds.empty()) {
      message.msg_control = control.data();
      message.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
      cmsghdr* header = CMSG_FIRSTHDR(&message);
      header->cmsg_level = SOL_SOCKET;
      header->cmsg_type = SCM_RIGHTS;
      header->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
      std::memcpy(CMSG_DATA(header), fds.data(), sizeof(int) * fds.size());
    }
    return ::sendmsg(m_channel.get(), &message, MSG_NOSIGNAL) ==
           static_cast<ssize_t>(payload.size());
  }

  void closeChannel() { m_channel.reset(); }

  // The exit status once the master has ended, nullopt if it has not
  // within the limit.
  std::optional<int> waitExit(std::chrono::milliseconds limit = kIoTimeout) {
    const Clock::time_point deadline = Clock::now() + limit;
    while (!m_exitStatus) {
      int status = 0;
      const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
      if (done == m_pid) {
        m_exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      } else if (Clock::now() >= deadline) {
        return std::nullopt;
      } else {
        std::this_thread::sleep_for(20ms);
      }
    }
    return m_exitStatus;
  }

  // The master's children: its running sessions, and any it failed to let
  // the kernel reap.
  std::vector<pid_t> children() const {
    std::ifstream list("/proc/" + std::to_string(m_pid) + "/task/" + std::to_string(m_pid) +
                       "/children");
    std::vector<pid_t> pids;
    pid_t pid;
    while (list >> pid) pids.push_back(pid);
    return pids;
  }

 private:
  Fd m_channel;
  pid_t m_pid = -1;
  std::optional<int> m_exitStatus;
};

// A field of /proc/PID/status ("State", "Uid"), empty when it cannot be read.
inline std::string processStatus(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) {
      const std::size_t value = line.find_first_not_of(" \t", field.size() + 1);
      return value == std::string::npos ? std::string() : line.substr(value);
    }
  }
  return std::string();
}

class Listener {
 public:
  Listener() {
    m_fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(m_fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_fd.get(), 16) != 0 ||
        ::getsockname(m_fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      m_fd.reset();
    }
    m_address = address;
  }
  bool ok() const { return m_fd.get() >= 0; }

  Fd connect() const {
    Fd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(client.get(), reinterpret_cast<const sockaddr*>(&m_address),
                  sizeof m_address) != 0) {
      client.reset();
    }
    setIoTimeout(client.get());
    return client;
  }
  Fd accept() const {
    pollfd watch{m_fd.get(), POLLIN, 0};
    if (::poll(&watch, 1, 5000) <= 0) return Fd();
    return Fd(::accept4(m_fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
  }

 private:
  Fd m_fd;
  sockaddr_in m_address{};
};

// The daemon's side of one session: the relay got the accepted socket and
// one end of `inner`; the test keeps the other.
struct HandedSession {
  Fd client;  // the client's connected socket, for the TLS client to use
  Fd inner;
};

inline std::optional<HandedSession> handSession(RelayMaster& master, const Listener& listener) {
  HandedSession session;
  session.client = listener.connect();
  Fd accepted = listener.accept();
  int pair[2];
  if (session.client.get() < 0 || accepted.get() < 0 ||
      ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    return std::nullopt;
  }
  session.inner.reset(pair[0]);
  Fd relayEnd(pair[1]);
  setIoTimeout(session.inner.get());
  if (!master.send("session", {accepted.get(), relayEnd.get()})) return std::nullopt;
  return session;
}

struct ClientSettings {
  int minVersion = 0, maxVersion = 0;  // 0: the library's default
  std::string cert, key;
};

// A blocking TLS client that checks the server against the test CA and the
// name localhost.
class TlsClient {
 public:
  TlsClient(const std::string& caCert, const ClientSettings& settings, int fd) {
    m_context = SSL_CTX_new(TLS_client_method());
    if (settings.minVersion != 0 && settings.minVersion < TLS1_2_VERSION) {
      // Old protocols are only reachable at the lowest security level.
      SSL_CTX_set_security_level(m_context, 0);
      SSL_CTX_set_cipher_list(m_context, "DEFAULT:@SECLEVEL=0");
    }
    if (settings.minVersion) SSL_CTX_set_min_proto_version(m_context, settings.minVersion);
    if (settings.maxVersion) SSL_CTX_set_max_proto_version(m_context, settings.maxVersion);
    SSL_CTX_load_verify_locations(m_context, caCert.c_str(), nullptr);
    SSL_CTX_set_verify(m_context, SSL_VERIFY_PEER, nullptr);
    if (!settings.cert.empty()) {
      SSL_CTX_use_certificate_file(m_context, settings.cert.c_str(), SSL_FILETYPE_PEM);
      SSL_CTX_use_PrivateKey_file(m_context, settings.key.c_str(), SSL_FILETYPE_PEM);
    }
    m_ssl = SSL_new(m_context);
    SSL_set_fd(m_ssl, fd);
    SSL_set_tlsext_host_name(m_ssl, "localhost");
    SSL_set1_host(m_ssl, "localhost");
  }
  ~TlsClient() {
    SSL_free(m_ssl);
    SSL_CTX_free(m_context);
  }
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  bool handshake() { return SSL_connect(m_ssl) == 1; }

  bool write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const int wrote = SSL_write(m_ssl, bytes.data() + done,
                                  static_cast<int>(std::min<std::size_t>(bytes.size() - done, 65536)));
      if (wrote <= 0) return false;
      done += static_cast<std::size_t>(wrote);
    }
    return true;
  }

  // Reads until `size` bytes came or the stream ended; `closeNotify` tells
  // whether it ended with the server's close_notify.
  std::string read(std::size_t size, bool* closeNotify = nullptr) {
    std::string bytes;
    char buffer[16384];
    if (closeNotify) *closeNotify = false;
    while (bytes.size() < size) {
      const int got = SSL_read(m_ssl, buffer,
                               static_cast<int>(std::min(sizeof buffer, size - bytes.size())));
      if (got <= 0) {
        if (closeNotify) *closeNotify = SSL_get_error(m_ssl, got) == SSL_ERROR_ZERO_RETURN;
        break;
      }
      bytes.append(buffer, static_cast<std::size_t>(got));
    }
    ERR_clear_error();
    return bytes;
  }

  void sendCloseNotify() { SSL_shutdown(m_ssl); }

 private:
  SSL_CTX* m_context = nullptr;
  SSL* m_ssl = nullptr;
};

}  // namespace tls_testing
