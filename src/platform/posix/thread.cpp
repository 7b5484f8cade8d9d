#include "platform/thread.h"

#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/error.h"
#include "platform/posix/state_root.h"
#include "platform/sync.h"

namespace platform {

namespace {

// Shared by the handle and the running thread, so that either may go
// first: the thread is detached from the start and its end is seen
// through the done flag.
struct ThreadState {
  ThreadProc proc = nullptr;
  void* argument = nullptr;
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
};

void* threadMain(void* raw) {
  std::unique_ptr<std::shared_ptr<ThreadState>> owner(
      static_cast<std::shared_ptr<ThreadState>*>(raw));
  std::shared_ptr<ThreadState> state = *owner;
  owner.reset();
  state->proc(state->argument);
  {
    std::lock_guard<std::mutex> guard(state->mutex);
    state->done = true;
  }
  state->ended.notify_all();
  return nullptr;
}

}  // namespace

struct ThreadImpl {
  std::shared_ptr<ThreadState> state;
};

ThreadHandle beginThread(ThreadProc proc, void* argument) {
  if (proc == nullptr) {
    setLastError(kErrorInvalidParameter);
    return nullptr;
  }
  auto state = std::make_shared<ThreadState>();
  state->proc = proc;
  state->argument = argument;

  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  auto* forThread = new std::shared_ptr<ThreadState>(state);
  pthread_t thread;
  int result = pthread_create(&thread, &attributes, threadMain, forThread);
  pthread_attr_destroy(&attributes);
  if (result != 0) {
    delete forThread;
    // _beginthreadex reports a lack of resources as a lack of memory.
    setLastError(result == EAGAIN ? kErrorNotEnoughMemory
                                  : static_cast<ErrorCode>(posix::errorFromErrno(result)));
    return nullptr;
  }
  return new ThreadImpl{std::move(state)};
}

std::uint32_t waitForThread(ThreadHandle thread, std::uint32_t timeoutMs) {
  if (thread == nullptr) {
    setLastError(kErrorInvalidHandle);
    return kWaitFailed;
  }
  ThreadState& state = *thread->state;
  std::unique_lock<std::mutex> lock(state.mutex);
  if (timeoutMs == kInfinite) {
    state.ended.wait(lock, [&] { return state.done; });
    return 0;
  }
  bool done = state.ended.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return state.done; });
  return done ? 0 : kWaitTimeout;
}

void closeThread(ThreadHandle thread) { delete thread; }

}  // namespace platform
