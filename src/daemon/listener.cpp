#include "daemon/listener.h"

#include <algorithm>

Listener::~Listener() {
  if (m_socket != platform::kInvalidSocket) platform::closeSocket(m_socket);
}

bool Listener::open(const platform::Endpoint& local) {
  m_local = local;
  m_socket = platform::createTcpSocket(local.address.family);
  if (m_socket == platform::kInvalidSocket) {
    m_bindError = platform::lastSocketError();
    m_attempts = 1;
    return false;
  }
  platform::setReuseAddress(m_socket, true);
  if (bind()) return true;
  // Without the bind there is nothing to listen on: a listen now would
  // open some other port.
  if (m_local.port != 0) scheduleRetry(kFirstRetryMs);
  return false;
}

bool Listener::retry() {
  if (bind()) {
    m_retryMs = 0;
    return true;
  }
  scheduleRetry(std::min(m_retryMs * 2, kLastRetryMs));
  return false;
}

bool Listener::bind() {
  ++m_attempts;
  if (m_local.port == 0) {
    m_bindError = platform::kWsaAddressNotAvailable;
    return false;
  }
  if (!platform::bindSocket(m_socket, m_local)) {
    m_bindError = platform::lastSocketError();
    return false;
  }
  platform::listenSocket(m_socket, platform::kMaximumBacklog);
  m_listening = true;
  return true;
}

void Listener::scheduleRetry(std::uint32_t ms) {
  m_retryMs = ms;
  m_nextAttempt = Clock::now() + std::chrono::milliseconds(ms);
}
