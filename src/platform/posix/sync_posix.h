// POSIX-only access to the descriptor behind an event, so that a wait on
// sockets can poll events and sockets together.
#pragma once

#include "platform/sync.h"

namespace platform::posix {

// The event's eventfd: readable while the event is signalled. -1 for a
// null handle.
int eventDescriptor(EventHandle event);

}  // namespace platform::posix
