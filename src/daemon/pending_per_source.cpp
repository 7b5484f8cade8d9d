#include "daemon/pending_per_source.h"

namespace {

constexpr auto kLogInterval = std::chrono::seconds(1);
// Past this many remembered addresses, those logged over a second ago
// are forgotten: they may be logged again anyway.
constexpr std::size_t kRememberedLogs = 1024;

}  // namespace

std::size_t PendingPerSource::count(std::uint32_t address) const {
  const auto found = m_pending.find(address);
  return found == m_pending.end() ? 0 : found->second;
}

void PendingPerSource::add(std::uint32_t address) { ++m_pending[address]; }

void PendingPerSource::remove(std::uint32_t address) {
  const auto found = m_pending.find(address);
  if (found == m_pending.end()) return;
  if (--found->second == 0) m_pending.erase(found);
}

bool PendingPerSource::mayLogRefusal(std::uint32_t address, Clock::time_point now) {
  const auto found = m_lastLogged.find(address);
  if (found != m_lastLogged.end() && now - found->second < kLogInterval) return false;
  if (found == m_lastLogged.end() && m_lastLogged.size() >= kRememberedLogs) {
    std::erase_if(m_lastLogged, [now](const auto& entry) { return now - entry.second >= kLogInterval; });
  }
  m_lastLogged[address] = now;
  return true;
}
