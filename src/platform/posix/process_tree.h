// Ending a child together with everything it started, as far as that can
// be found: a PAM module's helper may have a session of its own (pam_exec
// starts its commands so), where no kill of a process group reaches it.
#pragma once

#include <sys/types.h>

namespace platform::posix {

// Stops the child (not yet reaped: its id stays its own) and then, level by
// level, every process below it that /proc shows, so that none of them can
// start another meanwhile, and kills them all. What the child's own
// children left when they ended belongs to the child if it is a subreaper,
// and is found too. Leaves the reaping of the child to the caller.
void killProcessTree(pid_t child);

}  // namespace platform::posix
