// Quoting one argument and splitting it back by the C-runtime rules gives
// the argument unchanged, for any bytes but NUL; and splitting any line
// never fails.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  platform::splitCommandLine(bytes);

  std::string argument = bytes;
  for (char& c : argument) {
    if (c == '\0') c = ' ';
  }
  const std::vector<std::string> split =
      platform::splitCommandLine("program " + platform::quoteArgument(argument) + " next");
  if (split.size() != 3 || split[1] != argument || split[2] != "next") std::abort();
  return 0;
}
