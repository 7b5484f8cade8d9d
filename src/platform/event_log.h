// The system event log. On POSIX: $VORND_ROOT/log/events.log, one line per
// entry ("<UTC ISO-8601> <source> <ERROR|WARNING|INFORMATION> <text>", line breaks
// in the text written as \n), and syslog (facility daemon, ident = source)
// when /dev/log exists.
#pragma once

#include <string>

namespace platform {

struct EventSourceImpl;
using EventSource = EventSourceImpl*;

enum class EventType { Error, Warning, Information };

// Null on failure, with the last error set.
EventSource registerEventSource(const std::string& sourceName);
bool reportEvent(EventSource source, EventType type, const std::string& text);
void deregisterEventSource(EventSource source);

}  // namespace platform
