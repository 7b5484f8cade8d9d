// The connections pending from each IPv4 address, for the cap per source,
// and when each address last had a refusal logged.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <unordered_map>

class PendingPerSource {
 public:
  using Clock = std::chrono::steady_clock;

  std::size_t count(std::uint32_t address) const;
  void add(std::uint32_t address);
  // A release without an add changes nothing.
  void remove(std::uint32_t address);
  // True at most once a second for an address; the time is then noted.
  bool mayLogRefusal(std::uint32_t address, Clock::time_point now);

 private:
  std::unordered_map<std::uint32_t, std::size_t> m_pending;
  std::unordered_map<std::uint32_t, Clock::time_point> m_lastLogged;
};
