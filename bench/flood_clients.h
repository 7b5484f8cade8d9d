// A flood of connections that send nothing, from addresses none of the
// login clients use (127.0.2.1 on), each address holding as many as it is
// given. A thread of their own keeps them up: one the server closes is
// opened again at once, as a flood that means it would.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

namespace bench {

class FloodClients {
 public:
  FloodClients(int port, int addresses, int perAddress);
  // Closes them all.
  ~FloodClients();
  FloodClients(const FloodClients&) = delete;
  FloodClients& operator=(const FloodClients&) = delete;

  // Waits until every connect finished or the time is up: the number
  // established on the client's side.
  int waitConnected(int milliseconds) const;
  // Connections the server ended and the flood opened again.
  long renewed() const { return m_renewed.load(); }

 private:
  void keepUp();
  int open(std::size_t index) const;

  const int m_port;
  const int m_perAddress;
  // Written by the thread, read by waitConnected.
  std::vector<std::atomic<int>> m_sockets;
  std::atomic<bool> m_stop{false};
  std::atomic<long> m_renewed{0};
  std::thread m_thread;
};

}  // namespace bench
