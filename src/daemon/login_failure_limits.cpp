#include "daemon/login_failure_limits.h"

#include <algorithm>

LoginFailureLimits::LoginFailureLimits(std::size_t limit, Clock::duration penalty,
                                       std::size_t capacity)
    : m_limit(limit), m_penalty(penalty), m_capacity(capacity > 0 ? capacity : 1) {}

LoginFailureLimits::Admission LoginFailureLimits::beginCheck(const platform::NetAddress& address,
                                                             Clock::time_point now) {
  if (m_limit == 0) return Admission::Uncounted;
  std::lock_guard<std::mutex> guard(m_lock);
  Failures* failures = findOrAdd(address, now);
  if (failures == nullptr) return Admission::Uncounted;
  if (isBlocked(*failures, now) ||
      failures->underWay + failuresWithinPenalty(*failures, now) >= m_limit) {
    return Admission::Refused;
  }
  ++failures->underWay;
  return Admission::Counted;
}

void LoginFailureLimits::endCheck(const platform::NetAddress& address, Admission admission, Outcome outcome,
                                  Clock::time_point now) {
  if (m_limit == 0 || admission == Admission::Refused) return;
  if (admission == Admission::Uncounted) {
    if (outcome == Outcome::WrongGuess) recordFailure(address, now);
    return;
  }
  std::lock_guard<std::mutex> guard(m_lock);
  // An address with a place under way is never dropped from the table.
  const auto found = m_addresses.find(address);
  if (found == m_addresses.end() || found->second.underWay == 0) return;
  --found->second.underWay;
  if (outcome == Outcome::WrongGuess) addFailure(found->second, now);
}

bool LoginFailureLimits::blocked(const platform::NetAddress& address, Clock::time_point now) const {
  if (m_limit == 0) return false;
  std::lock_guard<std::mutex> guard(m_lock);
  const auto found = m_addresses.find(address);
  return found != m_addresses.end() && isBlocked(found->second, now);
}

void LoginFailureLimits::recordFailure(const platform::NetAddress& address, Clock::time_point now) {
  if (m_limit == 0) return;
  std::lock_guard<std::mutex> guard(m_lock);
  if (Failures* failures = findOrAdd(address, now)) addFailure(*failures, now);
}

std::size_t LoginFailureLimits::size() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_addresses.size();
}

LoginFailureLimits::Failures* LoginFailureLimits::findOrAdd(const platform::NetAddress& address,
                                                           Clock::time_point now) {
  auto found = m_addresses.find(address);
  if (found == m_addresses.end()) {
    if (m_addresses.size() >= m_capacity && !makeRoom(now)) return nullptr;
    found = m_addresses.emplace(address, Failures{}).first;
  }
  return &found->second;
}

void LoginFailureLimits::addFailure(Failures& failures, Clock::time_point now) {
  if (failures.recent.size() == m_limit) failures.recent.erase(failures.recent.begin());
  failures.recent.push_back(now);
  const bool limitReached =
      failures.recent.size() == m_limit && now - failures.recent.front() < m_penalty;
  const bool wasBlocked = isBlocked(failures, now);
  if (limitReached && !wasBlocked) m_blocksBegun.fetch_add(1, std::memory_order_relaxed);
  if (limitReached || wasBlocked) failures.blockedUntil = now + m_penalty;
}

std::size_t LoginFailureLimits::failuresWithinPenalty(const Failures& failures,
                                                      Clock::time_point now) const {
  return static_cast<std::size_t>(
      std::count_if(failures.recent.begin(), failures.recent.end(),
                    [&](Clock::time_point failure) { return now - failure < m_penalty; }));
}

bool LoginFailureLimits::isBlocked(const Failures& failures, Clock::time_point now) const {
  return now < failures.blockedUntil;
}

bool LoginFailureLimits::mayGo(const Failures& failures, Clock::time_point now) const {
  return failures.underWay == 0 && !isBlocked(failures, now);
}

bool LoginFailureLimits::isStale(const Failures& failures, Clock::time_point now) const {
  return mayGo(failures, now) &&
         (failures.recent.empty() || now - failures.recent.back() >= m_penalty);
}

bool LoginFailureLimits::makeRoom(Clock::time_point now) {
  std::erase_if(m_addresses, [&](const auto& entry) { return isStale(entry.second, now); });
  if (m_addresses.size() < m_capacity) return true;
  auto oldest = m_addresses.end();
  for (auto it = m_addresses.begin(); it != m_addresses.end(); ++it) {
    if (!mayGo(it->second, now)) continue;
    if (oldest == m_addresses.end() || it->second.recent.back() < oldest->second.recent.back()) {
      oldest = it;
    }
  }
  if (oldest == m_addresses.end()) return false;
  m_addresses.erase(oldest);
  return true;
}
