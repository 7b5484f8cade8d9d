// RefusalLog: one warning line in the event log for each client turned
// away, in fixed texts that name the client's address and port, so that an
// administrator, or a program watching the log, can act on the address.
//
// At most kLinesPerSecond lines are written in any one second (the second
// starts with its first line); those past the cap are counted, and once
// the second is over one line says how many were left out. Safe to use
// from several threads.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/net.h"

enum class RefusalReason {
  WrongCredentials,
  ServiceSwitches,
  MethodRefusesAll,
  TooManyFailures,
  CheckTooLong,
  EngineNotStarted,
};

// The lines' texts. The user name is the client's, with control characters
// and DEL shown as '?'.
std::string loginRefusedText(const std::string& user, const platform::Ipv4Endpoint& peer,
                             RefusalReason reason);
std::string incompleteRecordText(const platform::Ipv4Endpoint& peer, std::uint32_t seconds);
std::string pendingClosedText(const platform::Ipv4Endpoint& peer, std::size_t pending);

class RefusalLog {
 public:
  using Clock = std::chrono::steady_clock;
  using Writer = std::function<void(const std::string&)>;
  static constexpr std::size_t kLinesPerSecond = 100;

  explicit RefusalLog(Writer writer) : m_writer(std::move(writer)) {}

  void write(const std::string& line, Clock::time_point now = Clock::now());
  // Writes the line on lines left out, once their second is over.
  void flush(Clock::time_point now = Clock::now());
  // When flush has a line to write; nullopt while nothing was left out.
  std::optional<Clock::time_point> summaryDue() const;

 private:
  // Called with the lock held.
  void endSecondIfOver(Clock::time_point now);

  Writer m_writer;
  mutable std::mutex m_lock;
  std::optional<Clock::time_point> m_secondStarted;
  std::size_t m_written = 0;
  std::size_t m_leftOut = 0;
};
