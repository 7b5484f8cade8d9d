// LoginFailureLimits: the failed logon checks of each IPv4 address, and
// the block that too many of them bring.
//
// An address with `limit` failures within `penalty` is blocked until
// `penalty` after its last failure; a failure that still comes in while it
// is blocked (a check that was under way) moves the end on. A limit of 0
// records nothing and blocks no one.
//
// The table holds at most `capacity` addresses. When a new one finds it
// full, addresses whose failures are all older than the penalty and that
// are not blocked go first; if none is, the unblocked address with the
// oldest last failure goes. When every address in it is blocked, the new
// address is not recorded: a block is never lifted early to make room.
// Safe to use from several threads.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

class LoginFailureLimits {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kCapacity = 65536;

  LoginFailureLimits(std::size_t limit, Clock::duration penalty, std::size_t capacity = kCapacity);

  bool blocked(std::uint32_t address, Clock::time_point now = Clock::now()) const;
  void recordFailure(std::uint32_t address, Clock::time_point now = Clock::now());
  // Addresses held now.
  std::size_t size() const;

 private:
  struct Failures {
    // The newest failures, oldest first, at most `limit` of them.
    std::vector<Clock::time_point> recent;
    Clock::time_point blockedUntil{};
  };

  bool isBlocked(const Failures& failures, Clock::time_point now) const;
  bool isStale(const Failures& failures, Clock::time_point now) const;
  // Room for one more address; false when there is none to be made.
  bool makeRoom(Clock::time_point now);

  const std::size_t m_limit;
  const Clock::duration m_penalty;
  const std::size_t m_capacity;
  mutable std::mutex m_lock;
  std::unordered_map<std::uint32_t, Failures> m_addresses;
};
