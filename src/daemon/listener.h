// Listener: one of the instance's listening sockets, bound to its address
// and port, or bound later when another program holds them at start-up.
//
// A bind that failed for a port that can be bound at all is tried again,
// the pause between attempts doubling from a second up to a minute. Port 0
// is no port (the system would pick one nobody knows): it is never bound
// and never tried again, and neither is a socket that could not be made.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/error.h"
#include "platform/net.h"

class Listener {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::uint32_t kFirstRetryMs = 1000;
  static constexpr std::uint32_t kLastRetryMs = 60000;

  Listener() = default;
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Makes the socket, of the address's family, and binds it; false when it
  // does not listen. What went wrong is in created() and bindError().
  bool open(const platform::Endpoint& local);
  // Every IPv4 interface.
  bool open(std::uint16_t port) { return open({platform::NetAddress::ipv4(0), port}); }
  // Another attempt, once a retry is due; false while the port stays held.
  bool retry();

  platform::SocketHandle socket() const { return m_socket; }
  std::uint16_t port() const { return m_local.port; }
  const platform::Endpoint& local() const { return m_local; }
  bool created() const { return m_socket != platform::kInvalidSocket; }
  bool listening() const { return m_listening; }
  // A bind is to be tried again, at nextAttempt().
  bool retrying() const { return m_retryMs != 0; }
  std::uint32_t retryMs() const { return m_retryMs; }
  Clock::time_point nextAttempt() const { return m_nextAttempt; }
  // The attempts made so far, the first one included.
  std::uint32_t attempts() const { return m_attempts; }
  // The last bind's error; 0 before any failed.
  platform::ErrorCode bindError() const { return m_bindError; }

 private:
  bool bind();
  void scheduleRetry(std::uint32_t ms);

  platform::SocketHandle m_socket = platform::kInvalidSocket;
  platform::Endpoint m_local;
  bool m_listening = false;
  std::uint32_t m_retryMs = 0;
  std::uint32_t m_attempts = 0;
  platform::ErrorCode m_bindError = 0;
  Clock::time_point m_nextAttempt;
};
