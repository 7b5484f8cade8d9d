// The connections pending from each source (an IPv4 address, an IPv6
// prefix): all of them, for the cap
// per source, and those still sending their record, so that a full loop
// knows whose to close first; and when each address last had a closure
// logged.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>

#include "platform/net_address.h"

class PendingPerSource {
 public:
  using Clock = std::chrono::steady_clock;

  std::size_t count(const platform::NetAddress& address) const;
  void add(const platform::NetAddress& address);
  // A release without an add changes nothing.
  void remove(const platform::NetAddress& address);

  // Of those counted, the ones still sending their record.
  void startReading(const platform::NetAddress& address);
  void stopReading(const platform::NetAddress& address);
  std::size_t reading(const platform::NetAddress& address) const;
  std::size_t readingInAll() const { return m_readingInAll; }
  // The address with the most connections still sending their record
  // (the lowest address among equals); nullopt when there are none.
  std::optional<platform::NetAddress> mostReading() const;

  // True at most once a second for an address; the time is then noted.
  // Closures at the cap and closures to make room are logged apart.
  bool mayLogRefusal(const platform::NetAddress& address, Clock::time_point now);
  bool mayLogEviction(const platform::NetAddress& address, Clock::time_point now);
  bool mayLogPageRefusal(const platform::NetAddress& address, Clock::time_point now);

 private:
  using LastLogged = std::unordered_map<platform::NetAddress, Clock::time_point>;
  static bool mayLog(LastLogged& lastLogged, const platform::NetAddress& address, Clock::time_point now);

  std::unordered_map<platform::NetAddress, std::size_t> m_pending;
  std::unordered_map<platform::NetAddress, std::size_t> m_reading;
  std::size_t m_readingInAll = 0;
  LastLogged m_lastRefusal;
  LastLogged m_lastEviction;
  LastLogged m_lastPageRefusal;
};
