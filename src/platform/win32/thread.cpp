#include "platform/thread.h"

#include <process.h>
#include <windows.h>

#include "platform/error.h"
#include "platform/sync.h"

namespace platform {

namespace {

struct ThreadStart {
  ThreadProc proc;
  void* argument;
};

// _beginthreadex wants a __stdcall function; ThreadProc is a plain one.
unsigned __stdcall threadTrampoline(void* startArgument) {
  ThreadStart start = *static_cast<ThreadStart*>(startArgument);
  delete static_cast<ThreadStart*>(startArgument);
  return start.proc(start.argument);
}

}  // namespace

ThreadHandle beginThread(ThreadProc proc, void* argument) {
  if (proc == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  auto* start = new ThreadStart{proc, argument};
  SetLastError(kErrorSuccess);
  uintptr_t handle = _beginthreadex(nullptr, 0, threadTrampoline, start, 0, nullptr);
  if (handle == 0) {
    delete start;
    // The C runtime may fail before reaching the system (errno only).
    if (GetLastError() == kErrorSuccess) SetLastError(kErrorNotEnoughMemory);
    return nullptr;
  }
  return reinterpret_cast<ThreadHandle>(handle);
}

std::uint32_t waitForThread(ThreadHandle thread, std::uint32_t timeoutMs) {
  if (thread == nullptr) {
    SetLastError(kErrorInvalidHandle);
    return kWaitFailed;
  }
  DWORD result = WaitForSingleObject(reinterpret_cast<HANDLE>(thread), timeoutMs);
  if (result == WAIT_OBJECT_0) return 0;
  if (result == WAIT_TIMEOUT) return kWaitTimeout;
  return kWaitFailed;
}

void closeThread(ThreadHandle thread) {
  if (thread != nullptr) CloseHandle(reinterpret_cast<HANDLE>(thread));
}

}  // namespace platform
