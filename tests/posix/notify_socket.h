// A datagram socket standing in for systemd's notification socket, for the
// tests that run the daemon as a unit would.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : m_path(path) {
    m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    m_bound = bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    timeval wait{0, 50000};
    setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  }
  ~NotifySocket() {
    close(m_fd);
    unlink(m_path.c_str());
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  bool bound() const { return m_bound; }
  // Messages until one contains `text` (it included), or the time is up.
  std::vector<std::string> until(const std::string& text, int ms = 10000) {
    std::vector<std::string> messages;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      char buffer[512];
      const ssize_t got = recv(m_fd, buffer, sizeof buffer, 0);
      if (got <= 0) continue;
      messages.emplace_back(buffer, static_cast<std::size_t>(got));
      if (messages.back().find(text) != std::string::npos) break;
    }
    return messages;
  }
  // The same, as one text with each message followed by '|'.
  std::string joinedUntil(const std::string& text, int ms = 10000) {
    std::string all;
    for (const std::string& message : until(text, ms)) all.append(message).append("|");
    return all;
  }

 private:
  std::string m_path;
  int m_fd = -1;
  bool m_bound = false;
};
