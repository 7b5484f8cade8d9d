#include "daemon/login_failure_limits.h"

#include <algorithm>

LoginFailureLimits::LoginFailureLimits(std::size_t limit, Clock::duration penalty,
                                       std::size_t capacity)
    : m_limit(limit), m_penalty(penalty), m_capacity(capacity > 0 ? capacity : 1) {}

bool LoginFailureLimits::blocked(std::uint32_t address, Clock::time_point now) const {
  if (m_limit == 0) return false;
  std::lock_guard<std::mutex> guard(m_lock);
  const auto found = m_addresses.find(address);
  return found != m_addresses.end() && isBlocked(found->second, now);
}

void LoginFailureLimits::recordFailure(std::uint32_t address, Clock::time_point now) {
  if (m_limit == 0) return;
  std::lock_guard<std::mutex> guard(m_lock);
  auto found = m_addresses.find(address);
  if (found == m_addresses.end()) {
    if (m_addresses.size() >= m_capacity && !makeRoom(now)) return;
    found = m_addresses.emplace(address, Failures{}).first;
  }
  Failures& failures = found->second;
  if (failures.recent.size() == m_limit) failures.recent.erase(failures.recent.begin());
  failures.recent.push_back(now);
  const bool limitReached =
      failures.recent.size() == m_limit && now - failures.recent.front() < m_penalty;
  if (limitReached || isBlocked(failures, now)) failures.blockedUntil = now + m_penalty;
}

std::size_t LoginFailureLimits::size() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_addresses.size();
}

bool LoginFailureLimits::isBlocked(const Failures& failures, Clock::time_point now) const {
  return now < failures.blockedUntil;
}

bool LoginFailureLimits::isStale(const Failures& failures, Clock::time_point now) const {
  return !isBlocked(failures, now) &&
         (failures.recent.empty() || now - failures.recent.back() >= m_penalty);
}

bool LoginFailureLimits::makeRoom(Clock::time_point now) {
  std::erase_if(m_addresses, [&](const auto& entry) { return isStale(entry.second, now); });
  if (m_addresses.size() < m_capacity) return true;
  auto oldest = m_addresses.end();
  for (auto it = m_addresses.begin(); it != m_addresses.end(); ++it) {
    if (isBlocked(it->second, now)) continue;
    if (oldest == m_addresses.end() || it->second.recent.back() < oldest->second.recent.back()) {
      oldest = it;
    }
  }
  if (oldest == m_addresses.end()) return false;
  m_addresses.erase(oldest);
  return true;
}
