// A loopback client on a plain descriptor, for tests that need what the
// platform layer does not offer: a small receive buffer, reading an exact
// number of bytes, and ending the connection with a reset.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>

namespace testing_support {

class RawClient {
 public:
  // receiveBuffer > 0 shrinks the socket's buffer before it connects, so
  // that a sender fills it quickly.
  explicit RawClient(std::uint16_t port, int receiveBuffer = 0) {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return;
    if (receiveBuffer > 0) {
      setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_connected = connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() { close(); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return m_connected; }

  bool send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t sent = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (sent <= 0) return false;
      done += static_cast<std::size_t>(sent);
    }
    return true;
  }

  // Up to count bytes, fewer when the peer ends first or nothing comes
  // within limitMs.
  std::string read(std::size_t count, int limitMs = 10000) {
    std::string text;
    char buffer[4096];
    while (text.size() < count) {
      pollfd ready{m_fd, POLLIN, 0};
      if (poll(&ready, 1, limitMs) != 1) break;
      const std::size_t want = std::min(sizeof buffer, count - text.size());
      const ssize_t got = recv(m_fd, buffer, want, 0);
      if (got <= 0) {
        m_ended = true;
        break;
      }
      text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
  }
  // Everything until the peer ends (or limitMs of silence).
  std::string readToEnd(int limitMs = 10000) { return read(std::string::npos, limitMs); }
  // The peer ended the connection (end of file or reset) during a read.
  bool ended() const { return m_ended; }

  // Ends the connection with a reset instead of an orderly close.
  void reset() {
    if (m_fd < 0) return;
    const linger abort{1, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close();
  }
  void close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd = -1;
  bool m_connected = false;
  bool m_ended = false;
};

}  // namespace testing_support
