#include "platform/sync.h"

#include <windows.h>

#include "platform/error.h"

namespace platform {

namespace {

HANDLE toHandle(EventHandle event) { return reinterpret_cast<HANDLE>(event); }

}  // namespace

EventHandle createEvent(bool manualReset, bool initiallySignalled) {
  HANDLE event = CreateEventA(nullptr, manualReset, initiallySignalled, nullptr);
  return reinterpret_cast<EventHandle>(event);
}

bool setEvent(EventHandle event) { return SetEvent(toHandle(event)) != FALSE; }

bool resetEvent(EventHandle event) { return ResetEvent(toHandle(event)) != FALSE; }

void closeEvent(EventHandle event) {
  if (event != nullptr) CloseHandle(toHandle(event));
}

std::uint32_t waitForEvents(const EventHandle* events, std::size_t count,
                            std::uint32_t timeoutMs) {
  if (events == nullptr || count == 0 || count > kMaximumWaitObjects) {
    SetLastError(kErrorInvalidParameter);
    return kWaitFailed;
  }
  HANDLE handles[kMaximumWaitObjects];
  for (std::size_t i = 0; i < count; ++i) {
    // The system would wait on a null handle's slot or fail with a
    // different code depending on the version; refuse it the same way
    // everywhere.
    if (events[i] == nullptr) {
      SetLastError(kErrorInvalidHandle);
      return kWaitFailed;
    }
    handles[i] = toHandle(events[i]);
  }
  DWORD result = WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE, timeoutMs);
  if (result < WAIT_OBJECT_0 + count) return result - WAIT_OBJECT_0;
  if (result == WAIT_TIMEOUT) return kWaitTimeout;
  // Events cannot be abandoned; anything else is a failure.
  if (result != WAIT_FAILED) SetLastError(kErrorInvalidHandle);
  return kWaitFailed;
}

std::uint32_t waitForEvent(EventHandle event, std::uint32_t timeoutMs) {
  return waitForEvents(&event, 1, timeoutMs);
}

void sleepMs(std::uint32_t ms) { Sleep(ms); }

struct Lock::Impl {
  CRITICAL_SECTION section;
};

Lock::Lock() : m_impl(new Impl) { InitializeCriticalSection(&m_impl->section); }

Lock::~Lock() {
  DeleteCriticalSection(&m_impl->section);
  delete m_impl;
}

void Lock::enter() { EnterCriticalSection(&m_impl->section); }

void Lock::leave() { LeaveCriticalSection(&m_impl->section); }

}  // namespace platform
