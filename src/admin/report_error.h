#pragma once

#include "platform/error.h"

// The console error reporter of the administration commands: the
// operation and the system's text for the code, or the code in hex.
void reportError(const char* operation, platform::ErrorCode code);
