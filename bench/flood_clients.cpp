#include "flood_clients.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "bench_support.h"
#include "login_load.h"

namespace bench {

FloodClients::FloodClients(int port, int addresses, int perAddress)
    : m_port(port), m_perAddress(perAddress),
      m_sockets(static_cast<std::size_t>(addresses * perAddress)) {
  for (std::size_t i = 0; i < m_sockets.size(); ++i) m_sockets[i] = open(i);
  m_thread = std::thread([this] { keepUp(); });
}

FloodClients::~FloodClients() {
  m_stop = true;
  m_thread.join();
  for (const std::atomic<int>& fd : m_sockets) {
    if (fd >= 0) close(fd);
  }
}

int FloodClients::open(std::size_t index) const {
  const int fd = socketFrom(
      0x7F000201u + static_cast<std::uint32_t>(index / static_cast<std::size_t>(m_perAddress)));
  if (fd < 0) return fd;
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<std::uint16_t>(m_port));
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server);
  return fd;
}

void FloodClients::keepUp() {
  std::vector<pollfd> watched(m_sockets.size());
  while (!m_stop && !stopRequested()) {
    for (std::size_t i = 0; i < m_sockets.size(); ++i) {
      watched[i] = pollfd{m_sockets[i], POLLIN | POLLRDHUP, 0};
    }
    if (poll(watched.data(), watched.size(), 50) <= 0) continue;
    for (std::size_t i = 0; i < watched.size(); ++i) {
      // Silent clients are sent nothing: whatever wakes one is its end.
      if (watched[i].revents == 0) continue;
      close(m_sockets[i]);
      m_sockets[i] = open(i);
      ++m_renewed;
    }
  }
}

int FloodClients::waitConnected(int milliseconds) const {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    int connected = 0;
    for (const std::atomic<int>& socket : m_sockets) {
      const int fd = socket.load();
      sockaddr_in peer{};
      socklen_t size = sizeof peer;
      if (fd >= 0 && getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0) ++connected;
    }
    if (connected == static_cast<int>(m_sockets.size()) || Clock::now() >= deadline ||
        stopRequested()) {
      return connected;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace bench
