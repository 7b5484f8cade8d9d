#include "platform/files.h"

namespace platform {

char pathSeparator() { return '\\'; }

std::string defaultLogDirectory() { return "c:\\"; }

}  // namespace platform
