// The state root of the POSIX implementation: $VORND_ROOT, else
// /var/lib/vornd for root and ${XDG_STATE_HOME:-$HOME/.local/state}/vornd
// for other users. Every file the platform keeps lives below it.
#pragma once

#include <string>

namespace platform::posix {

// The root path, without a final slash. Read from the environment on
// every call, so tests can point it elsewhere.
std::string stateRoot();

// Creates the root and its folders log/ and run/ when missing (mode 0700
// for the root and run/). Returns false with the last error set when one
// cannot be created.
bool ensureStateRoot();

// The root's log/ folder as an O_PATH descriptor, made with the root when
// missing as above, without following a link at any step from "/" (see
// no_follow_path.h). -1 with the last error set (1921 for a link).
int openLogFolderNoFollow();

std::string stateFile(const std::string& relativePath);

// Maps an errno value to the nearest Windows error code.
unsigned long errorFromErrno(int errnoValue);

// Sets the last error from errno and returns false, for one-line failures.
bool failWithErrno();
bool failWithErrno(int errnoValue);

}  // namespace platform::posix
