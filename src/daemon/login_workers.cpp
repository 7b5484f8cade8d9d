#include "daemon/login_workers.h"

#include <chrono>
#include <system_error>
#include <utility>

namespace {

constexpr std::size_t kKeptThreads = 2;
constexpr auto kIdleEnd = std::chrono::seconds(10);

}  // namespace

LoginWorkers::LoginWorkers(Handler handler, platform::EventHandle finished)
    : m_handler(std::move(handler)), m_finishedEvent(finished) {}

LoginWorkers::~LoginWorkers() {
  {
    std::unique_lock<std::mutex> guard(m_lock);
    m_allDone.wait(guard, [this] { return m_unfinished == 0; });
    m_ending = true;
  }
  m_jobReady.notify_all();
  for (std::thread& thread : m_threads) {
    if (thread.joinable()) thread.join();
  }
}

void LoginWorkers::setThreadLimit(std::size_t limit) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_limit = limit > 0 ? limit : 1;
}

void LoginWorkers::submit(LoginJob job) {
  std::unique_lock<std::mutex> guard(m_lock);
  ++m_unfinished;
  joinEnded();
  // Each job waiting in the queue takes an idle thread; only when there
  // are more jobs than idle threads does a new one start.
  if (m_queue.size() >= m_idle && m_running < m_limit) {
    std::size_t slot = m_threads.size();
    if (!m_free.empty()) {
      slot = m_free.back();
      m_free.pop_back();
    } else {
      m_threads.emplace_back();
    }
    try {
      m_threads[slot] = std::thread(&LoginWorkers::work, this, slot);
      ++m_running;
    } catch (const std::system_error&) {
      m_free.push_back(slot);
      // No thread to be had: with none at all, the job is done here.
      if (m_running == 0) {
        guard.unlock();
        const JobEnd end = run(job);
        finish(std::move(job), end);
        return;
      }
    }
  }
  m_queue.push_back(std::move(job));
  guard.unlock();
  m_jobReady.notify_one();
}

void LoginWorkers::takeFinished(std::vector<LoginJob>& jobs) {
  std::lock_guard<std::mutex> guard(m_lock);
  for (LoginJob& job : m_finished) jobs.push_back(std::move(job));
  m_finished.clear();
}

void LoginWorkers::drain() {
  std::unique_lock<std::mutex> guard(m_lock);
  m_allDone.wait(guard, [this] { return m_unfinished == 0; });
}

std::size_t LoginWorkers::threadCount() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_running;
}

void LoginWorkers::joinEnded() {
  for (const std::size_t slot : m_ended) {
    m_threads[slot].join();
    m_free.push_back(slot);
  }
  m_ended.clear();
}

void LoginWorkers::work(std::size_t slot) {
  std::unique_lock<std::mutex> guard(m_lock);
  for (;;) {
    ++m_idle;
    const bool woken = m_jobReady.wait_for(guard, kIdleEnd,
                                           [this] { return m_ending || !m_queue.empty(); });
    --m_idle;
    if (m_queue.empty()) {
      if (m_ending) return;
      // Idle past its time, and not one of those kept: it ends, and the
      // next submit (or the pool's end) joins it.
      if (!woken && m_running > kKeptThreads) {
        --m_running;
        m_ended.push_back(slot);
        return;
      }
      continue;
    }
    LoginJob job = std::move(m_queue.front());
    m_queue.pop_front();
    guard.unlock();
    const JobEnd end = run(job);
    finish(std::move(job), end);
    guard.lock();
  }
}

LoginWorkers::JobEnd LoginWorkers::run(LoginJob& job) { return m_handler(job); }

void LoginWorkers::finish(LoginJob job, JobEnd end) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    // The connection closes under the lock that hands the job back: once
    // a client has seen its end, the next takeFinished finds the job, and
    // the loop never counts a connection its client has left.
    if (end == JobEnd::Close) job.client.reset();
    // The job may wait a while for the loop to take it: the password goes
    // now. One given back keeps its record for the refusal.
    if (end == JobEnd::Close) job.login.wipe();
    m_finished.push_back(std::move(job));
    --m_unfinished;
    if (m_unfinished == 0) m_allDone.notify_all();
  }
  // Read after the job is in the queue: a loop that asks for every end
  // and then takes what has finished misses none.
  if (end == JobEnd::GiveBack || m_wakeOnEveryEnd.load()) platform::setEvent(m_finishedEvent);
}
