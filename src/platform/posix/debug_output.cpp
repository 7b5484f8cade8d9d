#include "platform/debug_output.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/tap.h"

namespace platform {

void debugOutput(const std::string& text) {
  if (Tap* tap = currentTap()) tap->onDebugOutput(text);

  std::string line = text;
  if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) {
    line.resize(line.size() - 2);
  } else if (!line.empty() && line.back() == '\n') {
    line.pop_back();
  }
  line += '\n';
  // One write per message, so messages of concurrent threads do not
  // interleave; a short write (a full pipe) is finished as well as it can be.
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t written = write(STDERR_FILENO, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

bool debuggerPresent() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 10, "TracerPid:") == 0) {
      return std::strtol(line.c_str() + 10, nullptr, 10) != 0;
    }
  }
  return false;
}

void debugBreak() { std::raise(SIGTRAP); }

}  // namespace platform
