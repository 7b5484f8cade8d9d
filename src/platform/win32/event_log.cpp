#include "platform/event_log.h"

#include <windows.h>

#include "platform/error.h"
#include "platform/tap.h"

namespace platform {

// The tap needs the source's name, which the system handle does not give
// back.
struct EventSourceImpl {
  HANDLE handle;
  std::string name;
};

EventSource registerEventSource(const std::string& sourceName) {
  HANDLE handle = RegisterEventSourceA(nullptr, sourceName.c_str());
  if (handle == nullptr) return nullptr;
  return new EventSourceImpl{handle, sourceName};
}

bool reportEvent(EventSource source, EventType type, const std::string& text) {
  if (source == nullptr) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  if (Tap* t = currentTap()) t->onEventLog(source->name, type, text);
  const WORD eventType = type == EventType::Error     ? EVENTLOG_ERROR_TYPE
                         : type == EventType::Warning ? EVENTLOG_WARNING_TYPE
                                                      : EVENTLOG_INFORMATION_TYPE;
  const char* strings[] = {text.c_str()};
  return ReportEventA(source->handle, eventType, 0, 0, nullptr, 1, 0, strings, nullptr) != FALSE;
}

void deregisterEventSource(EventSource source) {
  if (source == nullptr) return;
  DeregisterEventSource(source->handle);
  delete source;
}

}  // namespace platform
