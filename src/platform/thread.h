// Threads started the way _beginthreadex starts them.
#pragma once

#include <cstdint>

namespace platform {

using ThreadProc = unsigned (*)(void* argument);

struct ThreadImpl;
using ThreadHandle = ThreadImpl*;

// Starts a thread at once. Null on failure, with the last error set.
ThreadHandle beginThread(ThreadProc proc, void* argument);

// 0 when the thread has ended, kWaitTimeout, or kWaitFailed.
std::uint32_t waitForThread(ThreadHandle thread, std::uint32_t timeoutMs);

// Releases the handle. A thread that is still running goes on running.
void closeThread(ThreadHandle thread);

}  // namespace platform
