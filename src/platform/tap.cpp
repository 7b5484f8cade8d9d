#include "platform/tap.h"

#include <atomic>

namespace platform {

namespace {

std::atomic<Tap*> g_tap{nullptr};

}  // namespace

void setTap(Tap* tap) { g_tap.store(tap); }

Tap* currentTap() { return g_tap.load(); }

}  // namespace platform
