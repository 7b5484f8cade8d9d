#include "daemon/pending_per_source.h"

namespace {

constexpr auto kLogInterval = std::chrono::seconds(1);
// Past this many remembered addresses, those logged over a second ago
// are forgotten: they may be logged again anyway.
constexpr std::size_t kRememberedLogs = 1024;

std::size_t countOf(const std::unordered_map<platform::NetAddress, std::size_t>& counts,
                    const platform::NetAddress& address) {
  const auto found = counts.find(address);
  return found == counts.end() ? 0 : found->second;
}

// False when the address had no count.
bool decrement(std::unordered_map<platform::NetAddress, std::size_t>& counts, const platform::NetAddress& address) {
  const auto found = counts.find(address);
  if (found == counts.end()) return false;
  if (--found->second == 0) counts.erase(found);
  return true;
}

}  // namespace

std::size_t PendingPerSource::count(const platform::NetAddress& address) const {
  return countOf(m_pending, address);
}

void PendingPerSource::add(const platform::NetAddress& address) { ++m_pending[address]; }

void PendingPerSource::remove(const platform::NetAddress& address) { decrement(m_pending, address); }

void PendingPerSource::startReading(const platform::NetAddress& address) {
  ++m_reading[address];
  ++m_readingInAll;
}

void PendingPerSource::stopReading(const platform::NetAddress& address) {
  if (decrement(m_reading, address)) --m_readingInAll;
}

std::size_t PendingPerSource::reading(const platform::NetAddress& address) const {
  return countOf(m_reading, address);
}

std::optional<platform::NetAddress> PendingPerSource::mostReading() const {
  // Looked for only when the loop is full, among at most as many
  // addresses as it holds connections.
  std::optional<platform::NetAddress> most;
  std::size_t mostCount = 0;
  for (const auto& [address, count] : m_reading) {
    if (count > mostCount || (count == mostCount && most && address < *most)) {
      most = address;
      mostCount = count;
    }
  }
  return most;
}

bool PendingPerSource::mayLogRefusal(const platform::NetAddress& address, Clock::time_point now) {
  return mayLog(m_lastRefusal, address, now);
}

bool PendingPerSource::mayLogEviction(const platform::NetAddress& address, Clock::time_point now) {
  return mayLog(m_lastEviction, address, now);
}

bool PendingPerSource::mayLogPageRefusal(const platform::NetAddress& address,
                                         Clock::time_point now) {
  return mayLog(m_lastPageRefusal, address, now);
}

bool PendingPerSource::mayLog(LastLogged& lastLogged, const platform::NetAddress& address,
                              Clock::time_point now) {
  const auto found = lastLogged.find(address);
  if (found != lastLogged.end() && now - found->second < kLogInterval) return false;
  if (found == lastLogged.end() && lastLogged.size() >= kRememberedLogs) {
    std::erase_if(lastLogged, [now](const auto& entry) { return now - entry.second >= kLogInterval; });
  }
  lastLogged[address] = now;
  return true;
}
