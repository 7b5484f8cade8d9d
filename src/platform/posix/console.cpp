#include "platform/console.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/error.h"
#include "platform/posix/state_root.h"

namespace platform {

namespace {

constexpr ErrorCode kErrorHandleEof = 38;  // ERROR_HANDLE_EOF

// The terminal's mode before echo went off, for a signal that ends the
// program while the password is typed: the shell must not be left blind.
termios gSavedMode;
const int kEndingSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
struct sigaction gPreviousActions[sizeof kEndingSignals / sizeof kEndingSignals[0]];

void restoreAndResignal(int signalNumber) {
  tcsetattr(STDIN_FILENO, TCSANOW, &gSavedMode);
  for (std::size_t i = 0; i < sizeof kEndingSignals / sizeof kEndingSignals[0]; ++i) {
    if (kEndingSignals[i] == signalNumber) sigaction(signalNumber, &gPreviousActions[i], nullptr);
  }
  raise(signalNumber);
}

// Echo off while the line is read; the mode comes back on every way out.
class HiddenInput {
 public:
  HiddenInput() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &gSavedMode) != 0) return;
    struct sigaction action = {};
    action.sa_handler = restoreAndResignal;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < sizeof kEndingSignals / sizeof kEndingSignals[0]; ++i) {
      sigaction(kEndingSignals[i], &action, &gPreviousActions[i]);
    }
    termios quiet = gSavedMode;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    m_hidden = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    if (!m_hidden) restoreActions();
  }
  ~HiddenInput() {
    if (!m_hidden) return;
    // Not TCSAFLUSH: what was typed after the line belongs to the program.
    tcsetattr(STDIN_FILENO, TCSADRAIN, &gSavedMode);
    restoreActions();
    // The Enter that ended the line was not echoed either.
    std::fputc('\n', stderr);
    std::fflush(stderr);
  }
  HiddenInput(const HiddenInput&) = delete;
  HiddenInput& operator=(const HiddenInput&) = delete;

 private:
  static void restoreActions() {
    for (std::size_t i = 0; i < sizeof kEndingSignals / sizeof kEndingSignals[0]; ++i) {
      sigaction(kEndingSignals[i], &gPreviousActions[i], nullptr);
    }
  }
  bool m_hidden = false;
};

}  // namespace

bool readHiddenLine(const char* prompt, std::string& line) {
  line.clear();
  if (prompt != nullptr) {
    std::fputs(prompt, stderr);
    std::fflush(stderr);
  }
  HiddenInput hidden;
  // A byte at a time, straight from the descriptor: what follows the line
  // stays unread for whoever reads standard input next.
  bool any = false;
  for (;;) {
    char c;
    const ssize_t got = read(STDIN_FILENO, &c, 1);
    if (got < 0) {
      if (errno == EINTR) continue;
      return posix::failWithErrno();
    }
    if (got == 0) {
      if (any) break;  // a last line without its end
      setLastError(kErrorHandleEof);
      return false;
    }
    any = true;
    if (c == '\n') break;
    line += c;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

}  // namespace platform

namespace platform {

void useBinaryStandardStreams() {}  // POSIX streams never translate

}  // namespace platform
