// LoginFailureLimits: the logon checks of each source (an IPv4 address,
// an IPv6 prefix), those under way and those that failed, and the block
// that too many failures bring.
//
// A check begins with beginCheck and ends with endCheck. While it is under
// way it holds a place counted against the limit: an address may begin
// another check only while its checks under way and its failures within
// the last `penalty` together stay below `limit`; one more is refused at
// once. So however many guesses an address sends at the same time, no
// window of `penalty` ever holds more than `limit` of its failures: when
// the last of them began, each of the others had either failed within that
// window already or was still under way, and all were counted. A check
// that ends without a wrong guess (accepted, or refused by the system for a
// reason of its own) gives its place back; a wrong guess makes it a
// failure.
//
// An address with `limit` failures within `penalty` is blocked until
// `penalty` after its last failure; a failure that still comes in while it
// is blocked moves the end on. A limit of 0 records nothing and blocks no
// one.
//
// The table holds at most `capacity` addresses. When a new one finds it
// full, addresses whose failures are all older than the penalty and that
// are neither blocked nor checked now go first; if none is, the address
// with the oldest last failure among those neither blocked nor checked
// goes. When no address may go, the new address is not recorded: its check
// is let through uncounted, since a block is never lifted early, nor a
// place under way forgotten, to make room.
// Safe to use from several threads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/net_address.h"

class LoginFailureLimits {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kCapacity = 65536;

  // What beginCheck decided; endCheck is given it back.
  enum class Admission {
    Refused,    // too many failures: the check must not run
    Counted,    // the check holds a place until endCheck
    Uncounted,  // no limit, or no room in the table: the check runs unrecorded
  };
  enum class Outcome {
    NoGuess,     // accepted, or refused for a reason other than the credentials
    WrongGuess,  // a wrong user name or password
  };

  LoginFailureLimits(std::size_t limit, Clock::duration penalty, std::size_t capacity = kCapacity);

  Admission beginCheck(const platform::NetAddress& address, Clock::time_point now = Clock::now());
  void endCheck(const platform::NetAddress& address, Admission admission, Outcome outcome,
                Clock::time_point now = Clock::now());

  // Whether the address's block is on.
  bool blocked(const platform::NetAddress& address, Clock::time_point now = Clock::now()) const;
  // A failure of a check that held no place.
  void recordFailure(const platform::NetAddress& address, Clock::time_point now = Clock::now());
  // Addresses held now.
  std::size_t size() const;
  // Blocks begun so far (a block moved on by a later failure is the same
  // block).
  std::uint64_t blocksBegun() const { return m_blocksBegun.load(std::memory_order_relaxed); }

 private:
  struct Failures {
    // The newest failures, oldest first, at most `limit` of them.
    std::vector<Clock::time_point> recent;
    Clock::time_point blockedUntil{};
    // Checks begun and not yet ended, each holding a place.
    std::size_t underWay = 0;
  };

  // Called with the lock held.
  Failures* findOrAdd(const platform::NetAddress& address, Clock::time_point now);
  void addFailure(Failures& failures, Clock::time_point now);
  std::size_t failuresWithinPenalty(const Failures& failures, Clock::time_point now) const;
  bool isBlocked(const Failures& failures, Clock::time_point now) const;
  bool mayGo(const Failures& failures, Clock::time_point now) const;
  bool isStale(const Failures& failures, Clock::time_point now) const;
  // Room for one more address; false when there is none to be made.
  bool makeRoom(Clock::time_point now);

  const std::size_t m_limit;
  const Clock::duration m_penalty;
  const std::size_t m_capacity;
  mutable std::mutex m_lock;
  std::atomic<std::uint64_t> m_blocksBegun{0};
  std::unordered_map<platform::NetAddress, Failures> m_addresses;
};
