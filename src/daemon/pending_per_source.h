// The connections pending from each IPv4 address: all of them, for the cap
// per source, and those still sending their record, so that a full loop
// knows whose to close first; and when each address last had a closure
// logged.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>

class PendingPerSource {
 public:
  using Clock = std::chrono::steady_clock;

  std::size_t count(std::uint32_t address) const;
  void add(std::uint32_t address);
  // A release without an add changes nothing.
  void remove(std::uint32_t address);

  // Of those counted, the ones still sending their record.
  void startReading(std::uint32_t address);
  void stopReading(std::uint32_t address);
  std::size_t reading(std::uint32_t address) const;
  std::size_t readingInAll() const { return m_readingInAll; }
  // The address with the most connections still sending their record
  // (the lowest address among equals); nullopt when there are none.
  std::optional<std::uint32_t> mostReading() const;

  // True at most once a second for an address; the time is then noted.
  // Closures at the cap and closures to make room are logged apart.
  bool mayLogRefusal(std::uint32_t address, Clock::time_point now);
  bool mayLogEviction(std::uint32_t address, Clock::time_point now);

 private:
  using LastLogged = std::unordered_map<std::uint32_t, Clock::time_point>;
  static bool mayLog(LastLogged& lastLogged, std::uint32_t address, Clock::time_point now);

  std::unordered_map<std::uint32_t, std::size_t> m_pending;
  std::unordered_map<std::uint32_t, std::size_t> m_reading;
  std::size_t m_readingInAll = 0;
  LastLogged m_lastRefusal;
  LastLogged m_lastEviction;
};
