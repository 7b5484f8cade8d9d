// The service manager's own way of running a service, where no system
// manager runs services: the service's process started detached (a
// session of its own, standard output and error to log/<name>.out), its
// name and start arguments handed over on a channel, and the start done
// once its dispatcher says it is ready.
#pragma once

#include <string>
#include <vector>

#include "platform/posix/service_records.h"

namespace platform::posix {

// Spawns the service process and waits until its dispatcher is ready;
// false with the last error set (1053 when it did not get ready in time).
bool startDetachedService(const ServiceRecord& record, const std::vector<std::string>& arguments);

}  // namespace platform::posix
