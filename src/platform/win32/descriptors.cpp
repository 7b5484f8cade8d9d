#include "platform/descriptors.h"

namespace platform {

namespace {

// Windows sets no per-process count of sockets or handles that a process
// could raise: a socket is a kernel handle, bounded only by the handle
// table and by memory, both far above what this service will ever hold.
// The figure given stands for "plenty" to callers that size their bounds
// by it.
constexpr std::size_t kPlenty = 16384;

}  // namespace

std::size_t raiseDescriptorLimit() { return kPlenty; }

std::size_t descriptorLimit() { return kPlenty; }

}  // namespace platform
