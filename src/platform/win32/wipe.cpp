#include "platform/wipe.h"

#include <windows.h>

namespace platform {

void wipeMemory(void* data, std::size_t size) { SecureZeroMemory(data, size); }

}  // namespace platform
