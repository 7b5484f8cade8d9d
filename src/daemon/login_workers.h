// LoginWorkers: the threads that finish a login once its record is in,
// so that a slow check or launch holds up no other client.
//
// The connection loop hands over each screened login; a worker runs the
// handler on it (the reply, the check, the launch) and then queues the
// finished job for the loop: without its connection, unless the handler
// says the connection goes back to the loop. The loop takes the finished
// jobs back on its own thread, so all counting per connection and per
// source stays there. The loop's event is set for a job given back, and
// for every job while the loop asks for that (wakeOnEveryEnd); otherwise
// the jobs wait for the loop's next wake, which spares a busy daemon a
// switch of threads per login.
//
// Threads are started as the work needs them, up to the limit; beyond the
// first two, a thread idle for ten seconds ends, so that a burst leaves no
// crowd of threads behind. Should no thread start at all, the job runs on
// the caller's thread: slower, never lost.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "platform/sync.h"
#include "session/net_login.h"
#include "session/tls_session.h"
#include "session/socket.h"

struct LoginJob {
  using Clock = std::chrono::steady_clock;

  std::unique_ptr<CSocket> client;
  // Holds the password; wiped where the job ends (net_login.h).
  netLogin login;
  // The peer, and the source it is counted under.
  platform::Endpoint peer;
  platform::NetAddress source;
  // The peer came from a PROXY header: the socket shows the balancer.
  bool proxied = false;
  // When the login was handed on (the failure pacing counts from here),
  // and when its whole record was in (its reply time counts from here).
  Clock::time_point recordAt;
  Clock::time_point wholeAt;
  // The connection came in over TLS: what the relay said of it.
  std::optional<TlsSession> tls;
  // Accepted and answered already: only the launch is left.
  bool answered = false;
  // Set by the handler for a refusal that is due only later; the loop
  // sends it at that time.
  std::optional<Clock::time_point> refuseAt;
};

class LoginWorkers {
 public:
  // What is left of the job's connection once the handler is done.
  enum class JobEnd {
    Close,     // nothing: it is closed as the job is handed back
    GiveBack,  // the loop has more to do with it
  };
  using Handler = std::function<JobEnd(LoginJob&)>;

  // `finished` is set each time a job ends; it must outlive the pool.
  LoginWorkers(Handler handler, platform::EventHandle finished);
  // Finishes the jobs handed over, then ends the threads.
  ~LoginWorkers();
  LoginWorkers(const LoginWorkers&) = delete;
  LoginWorkers& operator=(const LoginWorkers&) = delete;

  void setThreadLimit(std::size_t limit);
  // Whether every job's end sets the event (at first it does), or only
  // the end of one given back. Once it is set, a takeFinished finds every
  // job whose end set no event.
  void wakeOnEveryEnd(bool every) { m_wakeOnEveryEnd.store(every); }
  void submit(LoginJob job);
  // The jobs that ended since the last call, appended.
  void takeFinished(std::vector<LoginJob>& jobs);
  // Returns once every job handed over has ended.
  void drain();
  // Threads running now.
  std::size_t threadCount() const;

 private:
  void work(std::size_t slot);
  JobEnd run(LoginJob& job);
  // Hands the job back; its connection closes here unless given back.
  void finish(LoginJob job, JobEnd end);
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
  std::vector<LoginJob> m_finished;
  std::size_t m_limit = 1;
  std::size_t m_idle = 0;
  // Jobs handed over and not yet ended, queued or running.
  std::size_t m_unfinished = 0;
  bool m_ending = false;
  std::atomic<bool> m_wakeOnEveryEnd{true};
};
