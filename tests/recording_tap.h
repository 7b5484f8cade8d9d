// A tap that records what the platform was asked to report.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/service_manager.h"
#include "platform/tap.h"

namespace testing_support {

struct RecordedEvent {
  std::string source;
  platform::EventType type;
  std::string text;
};

class RecordingTap : public platform::Tap {
 public:
  RecordingTap() { platform::setTap(this); }
  ~RecordingTap() override { platform::setTap(nullptr); }

  void onDebugOutput(const std::string& text) override {
    std::lock_guard<std::mutex> guard(m_lock);
    m_debug.push_back(text);
  }
  void onEventLog(const std::string& source, platform::EventType type,
                  const std::string& text) override {
    std::lock_guard<std::mutex> guard(m_lock);
    m_events.push_back({source, type, text});
  }
  void onServiceStatus(const platform::ServiceStatus& status) override {
    std::lock_guard<std::mutex> guard(m_lock);
    m_statuses.push_back(status);
  }

  std::vector<std::string> debug() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_debug;
  }
  std::vector<RecordedEvent> events() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_events;
  }
  std::vector<RecordedEvent> events(platform::EventType type) const {
    std::vector<RecordedEvent> chosen;
    for (RecordedEvent& event : events()) {
      if (event.type == type) chosen.push_back(std::move(event));
    }
    return chosen;
  }
  std::vector<platform::ServiceStatus> statuses() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_statuses;
  }
  void clear() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_debug.clear();
    m_events.clear();
    m_statuses.clear();
  }

 private:
  mutable std::mutex m_lock;
  std::vector<std::string> m_debug;
  std::vector<RecordedEvent> m_events;
  std::vector<platform::ServiceStatus> m_statuses;
};

// "state/checkpoint/hint/controls", for readable comparisons.
inline std::string describe(const platform::ServiceStatus& s) {
  return std::to_string(s.currentState) + "/" + std::to_string(s.checkPoint) + "/" +
         std::to_string(s.waitHint) + "/" + std::to_string(s.controlsAccepted);
}

inline std::vector<std::string> describeAll(const std::vector<platform::ServiceStatus>& all) {
  std::vector<std::string> out;
  for (const auto& s : all) out.push_back(describe(s));
  return out;
}

}  // namespace testing_support
