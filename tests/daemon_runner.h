// Runs a daemon's whole life on a thread of the test, as the console run
// does: the test plays the service manager's dispatcher and hands controls
// to HandleControl itself.
#pragma once

#include <string>
#include <thread>

#include "daemon/vornd.h"
#include "platform/sync.h"
#include "recording_tap.h"

namespace testing_support {

template <typename Daemon>
class DaemonRunner {
 public:
  explicit DaemonRunner(std::string name) : m_name(std::move(name)) {}
  ~DaemonRunner() { stop(); }

  Daemon& daemon() { return m_daemon; }

  void start() {
    m_argv[0] = m_name.data();
    m_thread = std::thread(
        [this] { m_daemon.ServiceMain(1, m_argv, DaemonControlHandler, DaemonWorkerThread); });
  }
  // Sends a stop and waits for the daemon's life to end.
  void stop() {
    if (!m_thread.joinable()) return;
    m_daemon.HandleControl(platform::kControlStop);
    m_thread.join();
  }
  void join() { m_thread.join(); }

 private:
  std::string m_name;
  Daemon m_daemon{m_name};
  char* m_argv[2] = {nullptr, nullptr};
  std::thread m_thread;
};

// Waits until the tap has seen a report of the given state, from the
// given report on.
inline bool waitForState(const RecordingTap& tap, std::uint32_t state, std::size_t fromIndex = 0) {
  for (int i = 0; i < 1000; ++i) {
    const auto sent = tap.statuses();
    for (std::size_t k = fromIndex; k < sent.size(); ++k) {
      if (sent[k].currentState == state) return true;
    }
    platform::sleepMs(10);
  }
  return false;
}

// Waits until the daemon, past its start-up, reports that it serves
// nothing yet: start pending beyond the first checkpoint.
inline bool waitForNotListening(const RecordingTap& tap) {
  for (int i = 0; i < 1000; ++i) {
    for (const auto& status : tap.statuses()) {
      if (status.currentState == platform::kServiceStartPending && status.checkPoint > 1) {
        return true;
      }
    }
    platform::sleepMs(10);
  }
  return false;
}

}  // namespace testing_support
