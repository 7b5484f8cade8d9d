// Observation points for tests.
//
// Under Wine the debugger output and the event log keep nothing, and a
// status report leaves no trace once the next one is made. A tap sees each
// of them as it is made, before the real call; with no tap installed
// nothing changes. Used by tests and by the test service host only.
#pragma once

#include <string>

#include "platform/event_log.h"

namespace platform {

struct ServiceStatus;

class Tap {
 public:
  virtual ~Tap() = default;
  virtual void onDebugOutput(const std::string& text) { (void)text; }
  virtual void onEventLog(const std::string& source, EventType type, const std::string& text) {
    (void)source, (void)type, (void)text;
  }
  virtual void onServiceStatus(const ServiceStatus& status) { (void)status; }
};

// Installs a tap (null removes it). Not synchronised with concurrent
// reporting: install before the threads that report start.
void setTap(Tap* tap);
Tap* currentTap();

}  // namespace platform
