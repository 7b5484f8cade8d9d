#include "platform/console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

namespace platform {

namespace {

// Echo off while the line is read, when standard input is a console.
class HiddenInput {
 public:
  explicit HiddenInput(HANDLE input) : m_input(input) {
    if (GetConsoleMode(m_input, &m_savedMode) == FALSE) return;
    m_hidden = SetConsoleMode(m_input, m_savedMode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) !=
               FALSE;
  }
  ~HiddenInput() {
    if (!m_hidden) return;
    SetConsoleMode(m_input, m_savedMode);
    // The Enter that ended the line was not echoed either.
    std::fputc('\n', stderr);
    std::fflush(stderr);
  }
  HiddenInput(const HiddenInput&) = delete;
  HiddenInput& operator=(const HiddenInput&) = delete;

 private:
  HANDLE m_input;
  DWORD m_savedMode = 0;
  bool m_hidden = false;
};

}  // namespace

bool readHiddenLine(const char* prompt, std::string& line) {
  line.clear();
  if (prompt != nullptr) {
    std::fputs(prompt, stderr);
    std::fflush(stderr);
  }
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  HiddenInput hidden(input);
  // A byte at a time, past the C runtime's buffer: what follows the line
  // stays unread for whoever reads standard input next.
  bool any = false;
  for (;;) {
    char c;
    DWORD got = 0;
    if (ReadFile(input, &c, 1, &got, nullptr) == FALSE) {
      // A pipe whose writer has gone is the end of input.
      if (GetLastError() == ERROR_BROKEN_PIPE && any) break;
      return false;
    }
    if (got == 0) {
      if (any) break;  // a last line without its end
      SetLastError(ERROR_HANDLE_EOF);
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

void useBinaryStandardStreams() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace platform
