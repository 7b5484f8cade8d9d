// The registry file's text: parsing any bytes never fails unsafely, and a
// tree once parsed survives write -> parse -> write unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/posix/registry_tree.h"

using platform::posix::RegParseError;
using platform::posix::RegTreeKey;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  RegTreeKey first("");
  RegParseError error;
  if (!platform::posix::parseRegistryText(text, first, error)) return 0;
  const std::string written = platform::posix::formatRegistryText(first);
  RegTreeKey second("");
  if (!platform::posix::parseRegistryText(written, second, error)) std::abort();
  if (platform::posix::formatRegistryText(second) != written) std::abort();
  return 0;
}
