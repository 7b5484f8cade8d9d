// DaemonMetrics: what a monitoring system scrapes from /metrics. Counters
// that only grow, kept by the loop and the workers alike, and the time
// from a whole login record to its reply as a histogram; the gauges of
// connections by stage are the loop's to give when it answers.
// Safe to use from several threads: every count is one atomic.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/refusal_log.h"

class LoginFailureLimits;

// An enumerator's place in the counters' arrays.
template <typename Enum>
constexpr std::size_t metricIndex(Enum value) {
  return static_cast<std::size_t>(value);
}

class DaemonMetrics {
 public:
  // The answers a request on the login port can get.
  enum class Page { Status, Metrics, Count };
  enum class PageRefusal { NotInStatusPageFrom, TlsRequired, Count };
  // Why the loop closed a connection it held.
  enum class Closure {
    PerSource,        // MaxPendingPerSource: its source already had its cap
    PendingRecords,   // MaxPendingRecords: made room for a newer one
    RecordTime,       // no whole record within the receive bound
    HandshakeTime,    // no TLS handshake within it
    ProxyHeaderTime,  // no PROXY header within it
    PageTime,         // a page that made no progress within it
    Count
  };
  // The connections the loop holds, by stage, when it answers.
  enum class Stage { Record, Relay, Page, Waiting, Worker, Refusal, Blocked, Count };
  using Pending = std::array<std::size_t, static_cast<std::size_t>(Stage::Count)>;

  // The upper bounds of the reply time's buckets, in seconds; +Inf after.
  static constexpr std::array<double, 12> kReplyBuckets = {
      0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 10};

  explicit DaemonMetrics(std::string instance) : m_instance(std::move(instance)) {}
  DaemonMetrics(const DaemonMetrics&) = delete;
  DaemonMetrics& operator=(const DaemonMetrics&) = delete;

  void loginAccepted() { add(m_loginsAccepted); }
  // Every refusal but an engine that did not start, which counts as one.
  void loginRefused(RefusalReason reason);
  void pageServed(Page page) { add(m_pages[metricIndex(page)]); }
  void pageRefused(PageRefusal why) { add(m_pageRefusals[metricIndex(why)]); }
  void connectionClosed(Closure closure) { add(m_closures[metricIndex(closure)]); }
  void engineStarted() { add(m_enginesStarted); }
  void engineFailed() { add(m_enginesFailed); }
  void tlsHandshake(bool done) { add(done ? m_handshakesDone : m_handshakesFailed); }
  void replyTime(std::chrono::steady_clock::duration elapsed);
  // Where the blocks for too many failures are counted; may be null.
  void countBlocksOf(const LoginFailureLimits* limits) { m_limits = limits; }

  // The whole exposition, in the text format, version 0.0.4. From one
  // thread at a time.
  std::string exposition(const Pending& pending) const;

 private:
  using Counter = std::atomic<std::uint64_t>;
  static void add(Counter& counter) { counter.fetch_add(1, std::memory_order_relaxed); }
  static std::uint64_t read(const Counter& counter) {
    return counter.load(std::memory_order_relaxed);
  }

  // The exposition's text between its numbers, made by the first one.
  struct Layout {
    std::vector<std::string> between;
    std::size_t size = 0;
  };
  class Exposition;

  const std::string m_instance;
  mutable Layout m_layout;
  Counter m_loginsAccepted{0};
  static constexpr std::size_t kRefusalReasons =
      static_cast<std::size_t>(RefusalReason::TlsRequired) + 1;
  std::array<Counter, kRefusalReasons> m_refusals{};
  std::array<Counter, metricIndex(Page::Count)> m_pages{};
  std::array<Counter, metricIndex(PageRefusal::Count)> m_pageRefusals{};
  std::array<Counter, metricIndex(Closure::Count)> m_closures{};
  Counter m_enginesStarted{0};
  Counter m_enginesFailed{0};
  Counter m_handshakesDone{0};
  Counter m_handshakesFailed{0};
  // Each bucket counts its own replies alone (the last those above every
  // bound); the exposition adds them up.
  std::array<Counter, kReplyBuckets.size() + 1> m_replyBuckets{};
  Counter m_replyMicroseconds{0};
  const LoginFailureLimits* m_limits = nullptr;
};

// The label value as the text format wants it: backslash, double quote
// and line feed escaped.
std::string metricsLabelValue(std::string_view text);
