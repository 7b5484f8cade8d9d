// RefusalLog: the event-log lines a client can cause, above all one
// warning for each client turned away, in fixed texts that name the
// client's address and port, so that an administrator, or a program
// watching the log, can act on the address.
//
// The lines are capped per second (the second starts with its first line):
// at most kLinesPerAddress of one client address, and at most
// kLinesPerSecond of all addresses together. The instance's cap is ten
// addresses' worth, so no address takes more than a tenth of it: however
// much nine addresses send, a tenth still has its first ten lines of the
// second written, and a line is only ever left out for an address within
// its own ten once ten other addresses have had theirs in that second.
// Lines left out are counted, and once their second is over one line says
// how many, and of how many addresses ("<n> refusal lines left out in the
// last second from <m> addresses", which names none).
//
// The same caps serve a second kind of line, each kind with its own
// budget: accepted logins (information entries) never crowd refusals out.
//
// A refused logon's error entry, the system's reason, goes with the
// refusal's warning: the two are written together or left out together,
// and count as one line. Safe to use from several threads.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/event_log.h"
#include "platform/net.h"

enum class RefusalReason {
  WrongCredentials,
  ServiceSwitches,
  MethodRefusesAll,
  TooManyFailures,
  CheckTooLong,
  EngineNotStarted,
  TlsRequired,
};

// The lines' texts. The user name is the client's, with control characters
// and DEL shown as '?'.
std::string loginRefusedText(const std::string& user, const platform::Endpoint& peer,
                             RefusalReason reason);
std::string incompleteRecordText(const platform::Endpoint& peer, std::uint32_t seconds);
// A TLS connection that never came to a record: the user is "?", the
// reason the relay's or the loop's.
std::string tlsRefusedText(const platform::Endpoint& peer, const std::string& reason);
// A trusted balancer's connection whose PROXY header was missing, bad or
// late.
std::string proxyRefusedText(const platform::Endpoint& peer);
// A login answered 0x00 0x01: who, from where, by which method.
std::string loginAcceptedText(const std::string& user, const platform::Endpoint& peer,
                              const std::string& method);
std::string pendingClosedText(const platform::Endpoint& peer, std::size_t pending);
std::string makeRoomClosedText(const platform::Endpoint& peer, std::size_t reading);

class RefusalLog {
 public:
  using Clock = std::chrono::steady_clock;
  using Writer = std::function<void(platform::EventType, const std::string&)>;
  static constexpr std::size_t kLinesPerSecond = 100;
  static constexpr std::size_t kLinesPerAddress = 10;

  struct Entry {
    platform::EventType type;
    std::string text;
  };

  // `kind` names the lines in the line on those left out ("refusal",
  // "accepted-login"), which is written as `summaryType`.
  explicit RefusalLog(Writer writer, std::string kind = "refusal",
                      platform::EventType summaryType = platform::EventType::Warning)
      : m_writer(std::move(writer)), m_kind(std::move(kind)), m_summaryType(summaryType) {}

  // A warning caused by the client at `address` (its source: an IPv6
  // client's prefix).
  void write(const platform::NetAddress& address, const std::string& warning,
             Clock::time_point now = Clock::now());
  // Entries caused by the client at `address` that make one line: all are
  // written, in their order, or none.
  void write(const platform::NetAddress& address, const std::vector<Entry>& entries,
             Clock::time_point now = Clock::now());
  // Writes the line on lines left out, once their second is over.
  void flush(Clock::time_point now = Clock::now());
  // When flush has a line to write; nullopt while nothing was left out.
  std::optional<Clock::time_point> summaryDue() const;

 private:
  struct AddressLines {
    std::size_t written = 0;
    std::size_t leftOut = 0;
  };

  // Called with the lock held.
  void endSecondIfOver(Clock::time_point now);

  Writer m_writer;
  const std::string m_kind;
  const platform::EventType m_summaryType;
  mutable std::mutex m_lock;
  std::optional<Clock::time_point> m_secondStarted;
  std::size_t m_written = 0;
  std::size_t m_leftOut = 0;
  std::size_t m_addressesLeftOut = 0;
  // This second's lines of each address that had any.
  std::unordered_map<platform::NetAddress, AddressLines> m_addresses;
};
