#include "daemon/refusal_log.h"

#include "platform/address_text.h"
#include "session/log_text.h"

namespace {

constexpr auto kSecond = std::chrono::seconds(1);

const char* reasonText(RefusalReason reason) {
  switch (reason) {
    case RefusalReason::WrongCredentials: return "wrong user name or password";
    case RefusalReason::ServiceSwitches: return "refused by the service switches";
    case RefusalReason::MethodRefusesAll: return "every login is refused by this method";
    case RefusalReason::TooManyFailures: return "too many failures from this address";
    case RefusalReason::CheckTooLong: return "authentication took too long";
    case RefusalReason::EngineNotStarted: return "the engine could not be started";
    case RefusalReason::TlsRequired: return "this instance requires TLS";
  }
  return "refused";
}

std::string addressAndPort(const platform::Endpoint& peer) {
  return addressText(peer.address) + " port " + std::to_string(peer.port);
}

}  // namespace

std::string loginRefusedText(const std::string& user, const platform::Endpoint& peer,
                             RefusalReason reason) {
  return "Login refused for user " + printableText(user) + " from " + addressAndPort(peer) +
         ": " + reasonText(reason);
}

std::string tlsRefusedText(const platform::Endpoint& peer, const std::string& reason) {
  return "Login refused for user ? from " + addressAndPort(peer) + ": " + printableText(reason);
}

std::string loginAcceptedText(const std::string& user, const platform::Endpoint& peer,
                              const std::string& method) {
  return "Login accepted for user " + printableText(user) + " from " + addressAndPort(peer) +
         ": " + printableText(method);
}

std::string proxyRefusedText(const platform::Endpoint& peer) {
  return "Login refused for user ? from " + addressAndPort(peer) + ": bad PROXY protocol header";
}

std::string incompleteRecordText(const platform::Endpoint& peer, std::uint32_t seconds) {
  return "No complete login record from " + addressAndPort(peer) + " within " +
         std::to_string(seconds) + " seconds";
}

std::string pendingClosedText(const platform::Endpoint& peer, std::size_t pending) {
  return "Connection from " + addressAndPort(peer) + " closed: " + std::to_string(pending) +
         " connections already pending from this address";
}

std::string makeRoomClosedText(const platform::Endpoint& peer, std::size_t reading) {
  return "Connection from " + addressAndPort(peer) + " closed to make room: " +
         std::to_string(reading) + " connections from this address sending their records";
}

void RefusalLog::write(const platform::NetAddress& address, const std::string& warning,
                       Clock::time_point now) {
  write(address, {{platform::EventType::Warning, warning}}, now);
}

void RefusalLog::write(const platform::NetAddress& address, const std::vector<Entry>& entries,
                       Clock::time_point now) {
  std::unique_lock<std::mutex> guard(m_lock);
  endSecondIfOver(now);
  if (!m_secondStarted) m_secondStarted = now;
  AddressLines& lines = m_addresses[address];
  if (lines.written >= kLinesPerAddress || m_written >= kLinesPerSecond) {
    if (lines.leftOut++ == 0) ++m_addressesLeftOut;
    ++m_leftOut;
    return;
  }
  ++lines.written;
  ++m_written;
  // Written under the lock, so that the lines keep the order of their count.
  for (const Entry& entry : entries) m_writer(entry.type, entry.text);
}

void RefusalLog::flush(Clock::time_point now) {
  std::lock_guard<std::mutex> guard(m_lock);
  endSecondIfOver(now);
}

std::optional<RefusalLog::Clock::time_point> RefusalLog::summaryDue() const {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_leftOut == 0 || !m_secondStarted) return std::nullopt;
  return *m_secondStarted + kSecond;
}

void RefusalLog::endSecondIfOver(Clock::time_point now) {
  if (!m_secondStarted || now - *m_secondStarted < kSecond) return;
  if (m_leftOut != 0) {
    m_writer(m_summaryType,
             std::to_string(m_leftOut) + " " + m_kind + " lines left out in the last second from " +
                 std::to_string(m_addressesLeftOut) + " addresses");
  }
  m_secondStarted.reset();
  m_written = 0;
  m_leftOut = 0;
  m_addressesLeftOut = 0;
  m_addresses.clear();
}
