#include "admin/report_error.h"

#include <cstdio>

void reportError(const char* operation, platform::ErrorCode code) {
  // System texts end in their own line break, so a blank line follows.
  if (std::optional<std::string> text = platform::systemErrorText(code)) {
    std::printf("%s failed: %s\n", operation, text->c_str());
  } else {
    std::printf("%s failed: Unknown error %x\n", operation, static_cast<unsigned>(code));
  }
}
