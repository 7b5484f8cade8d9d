#include "platform/descriptors.h"

#include <sys/resource.h>

#include <cstdint>
#include <cstdio>

namespace platform {

namespace {

// The kernel refuses a soft limit above fs.nr_open whatever the hard limit
// says, so a hard limit of "unlimited" is read as that. 1048576 is the
// kernel's default for it, used where /proc cannot say.
constexpr rlim_t kDefaultKernelCeiling = 1048576;

rlim_t kernelCeiling() {
  unsigned long long value = 0;
  if (std::FILE* file = std::fopen("/proc/sys/fs/nr_open", "re")) {
    if (std::fscanf(file, "%llu", &value) != 1) value = 0;
    std::fclose(file);
  }
  return value > 0 ? static_cast<rlim_t>(value) : kDefaultKernelCeiling;
}

std::size_t toCount(rlim_t limit) {
  if (limit == RLIM_INFINITY) limit = kernelCeiling();
  return limit > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(limit);
}

}  // namespace

std::size_t raiseDescriptorLimit() {
  rlimit limit{};
  // getrlimit fails only for a bad resource or pointer.
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return descriptorLimit();
  const rlim_t ceiling = limit.rlim_max == RLIM_INFINITY ? kernelCeiling() : limit.rlim_max;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < ceiling) {
    rlimit raised = limit;
    raised.rlim_cur = ceiling;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return toCount(limit.rlim_cur);
}

std::size_t descriptorLimit() {
  rlimit limit{};
  // The traditional soft limit, should the call ever fail.
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  return toCount(limit.rlim_cur);
}

}  // namespace platform
