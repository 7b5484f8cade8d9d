// LoginWorkers: the threads that finish a login once its record is in,
// so that a slow check or launch holds up no other client.
//
// The connection loop hands over each screened login; a worker runs the
// handler on it (the reply, the check, the launch) and then queues the
// login's source address for the loop, whose event it sets. The loop takes
// the finished sources back on its own thread, so all counting per
// connection and per source stays there.
//
// Threads are started as the work needs them, up to the limit; beyond the
// first two, a thread idle for ten seconds ends, so that a burst leaves no
// crowd of threads behind. Should no thread start at all, the job runs on
// the caller's thread: slower, never lost.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/sync.h"
#include "session/net_login.h"
#include "session/socket.h"

struct LoginJob {
  std::unique_ptr<CSocket> client;
  netLogin login;
  // The peer's IPv4 address, for the count per source.
  std::uint32_t source = 0;
  // Accepted and answered already: only the launch is left.
  bool answered = false;
};

class LoginWorkers {
 public:
  using Handler = std::function<void(LoginJob&)>;

  // `finished` is set each time a job ends; it must outlive the pool.
  LoginWorkers(Handler handler, platform::EventHandle finished);
  // Finishes the jobs handed over, then ends the threads.
  ~LoginWorkers();
  LoginWorkers(const LoginWorkers&) = delete;
  LoginWorkers& operator=(const LoginWorkers&) = delete;

  void setThreadLimit(std::size_t limit);
  void submit(LoginJob job);
  // The sources of the jobs that ended since the last call, appended.
  void takeFinished(std::vector<std::uint32_t>& sources);
  // Returns once every job handed over has ended.
  void drain();
  // Threads running now.
  std::size_t threadCount() const;

 private:
  void work(std::size_t slot);
  void finish(std::uint32_t source);
  // Joins the threads that have ended; called with the lock held.
  void joinEnded();

  Handler m_handler;
  platform::EventHandle m_finishedEvent;
  mutable std::mutex m_lock;
  std::condition_variable m_jobReady;
  std::condition_variable m_allDone;
  std::deque<LoginJob> m_queue;
  // A slot per thread started; an ended thread's slot waits in m_ended
  // to be joined and is then used again.
  std::vector<std::thread> m_threads;
  std::vector<std::size_t> m_ended;
  std::vector<std::size_t> m_free;
  std::size_t m_running = 0;
  std::vector<std::uint32_t> m_finished;
  std::size_t m_limit = 1;
  std::size_t m_idle = 0;
  // Jobs handed over and not yet ended, queued or running.
  std::size_t m_unfinished = 0;
  bool m_ending = false;
};
