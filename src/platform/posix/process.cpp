#include "platform/process.h"

#include <unistd.h>

#include <vector>

#include "platform/posix/state_root.h"

namespace platform {

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(getpid()); }

std::string moduleFileName() {
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) {
      posix::failWithErrno();
      return std::string();
    }
    if (static_cast<std::size_t>(length) < buffer.size()) {
      return std::string(buffer.data(), static_cast<std::size_t>(length));
    }
    // The link may have been cut short: try again with more room.
    buffer.resize(buffer.size() * 2);
  }
}

std::string rawCommandLine(int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) line += ' ';
    line += argv[i];
  }
  return line;
}

void lowerCaseInPlace(std::string& text) {
  // Only A-Z, whatever locale the process runs in.
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
}

}  // namespace platform
