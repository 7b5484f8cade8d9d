#include "platform/debug_output.h"

#include <windows.h>

#include "platform/tap.h"

namespace platform {

void debugOutput(const std::string& text) {
  if (Tap* t = currentTap()) t->onDebugOutput(text);
  OutputDebugStringA(text.c_str());
}

bool debuggerPresent() { return IsDebuggerPresent() != FALSE; }

void debugBreak() { DebugBreak(); }

}  // namespace platform
