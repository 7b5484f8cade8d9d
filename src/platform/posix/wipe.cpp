#include "platform/wipe.h"

#include <string.h>

namespace platform {

void wipeMemory(void* data, std::size_t size) { explicit_bzero(data, size); }

}  // namespace platform
