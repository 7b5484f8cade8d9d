#include "platform/files.h"

#include "platform/posix/state_root.h"

namespace platform {

char pathSeparator() { return '/'; }

std::string defaultLogDirectory() {
  // A folder that cannot be made shows up as a log that cannot be opened.
  posix::ensureStateRoot();
  return posix::stateFile("log/");
}

}  // namespace platform
