// ConnectionLoop: every connection of an instance at once, on the
// service's main thread.
//
// It owns the listeners (one socket per listen address), the one wait
// over them and every
// connection still being read or sent to, the counts per source, the
// logins handed to the workers, the refusals left for later, the pause
// after a failed accept and the bind retry. No connection waits for
// another; each is closed when its own time runs out. What a record or a
// request means is the host's to say (ConnectionHost): the loop reads,
// sends, counts and closes.
//
// A connection goes through these stages:
//   record    its first bytes, then its login record, being read
//   page      its status page being sent, piece by piece
//   relay     over TLS: its connection handed to the relay, the clear end
//             waiting for the relay's word on the handshake (then a
//             record like any other)
//   waiting   its login screened, waiting for a login slot
//   worker    its login handed to a worker (check, reply, launch); it
//             comes back only for a refusal left for later
//   refusal   waiting for the time its refusal is due
//   blocked   from an address refused whatever it sends: unread, and
//             unwatched, until its answer is due a moment after its
//             accept. The moment keeps an address that loops from
//             costing the daemon a core: it gets a few answers a second
//             per connection instead of thousands.
//
// Admission is by stage (AdmissionBounds). Only the worker stage, which
// is what costs, holds a login slot; a whole record that finds none free
// waits for one, its time no longer running. Every other stage counts
// towards the records' budget; when it is full, a new connection is taken
// in by closing the oldest connection still sending its record from the
// address that has the most of those, so that no flood from a few
// addresses can keep a login out. The cap per source counts every stage;
// a connection over it is closed at once, as it always was.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "daemon/admission_bounds.h"
#include "daemon/daemon_metrics.h"
#include "daemon/listener.h"
#include "daemon/log_stream.h"
#include "daemon/login_workers.h"
#include "daemon/pending_per_source.h"
#include "daemon/refusal_log.h"
#include "daemon/service_config.h"
#include "platform/error.h"
#include "platform/socket_wait.h"
#include "platform/sync.h"
#include "platform/tls_relay.h"
#include "session/address_prefix.h"
#include "session/client_connection.h"

// What the loop asks of the daemon it serves.
class ConnectionHost {
 public:
  // The record came in whole: screened. False when the host has answered
  // it and closed the connection (the switches, a method that refuses all,
  // an address blocked for its failures: none of them needs a worker);
  // true when the login goes on to a worker.
  virtual bool screenRecord(ClientConnection& connection) = 0;
  // Just before a worker takes the login: what is answered at once (a
  // method that accepts every login), noted in the job.
  virtual void prepareLogin(LoginJob& job) = 0;
  // The response to a "GET", as the page stands now.
  virtual PageResponse statusPage() = 0;
  // A refusal left for later whose time has come: sent and counted.
  virtual void sendRefusal(LoginJob& job) = 0;
  // A listener bound its address at last, or failed once more.
  virtual void portBound(const Listener& listener) = 0;
  virtual void portWaiting(const Listener& listener) = 0;
  // Waits up to ms for a control (stop, pause); true when one came.
  virtual bool waitOnControl(std::uint32_t ms) = 0;
  virtual void reportFailure(const char* operation, platform::ErrorCode code) = 0;
  virtual void reportWarning(const std::string& text) = 0;
  virtual void reportInformation(const std::string& text) = 0;
  // Whether every record from the source is refused whatever it holds
  // (blocked for its failures): the loop then answers it at the least
  // cost, before anything is set up for it.
  virtual bool refusesEverything(const platform::NetAddress& source) = 0;
  // A connection from such an address, its pause over: its refusal line
  // (naming the user "?" when its record is not all there), its reply,
  // counted. The loop closes it.
  virtual void refuseBlocked(ClientConnection& connection) = 0;

 protected:
  ~ConnectionHost() = default;
};

class ConnectionLoop {
 public:
  using Clock = std::chrono::steady_clock;

  // `config`, `log`, `refusals` and `metrics` must outlive the loop;
  // `handler` is the workers' part of a login.
  ConnectionLoop(ConnectionHost& host, const CServiceConfig& config, AdmissionBounds bounds,
                 LogStream& log, RefusalLog& refusals, DaemonMetrics& metrics,
                 LoginWorkers::Handler handler);
  // Logins still with a worker finish first.
  ~ConnectionLoop();
  ConnectionLoop(const ConnectionLoop&) = delete;
  ConnectionLoop& operator=(const ConnectionLoop&) = delete;

  // Makes the listener and the wait; failures are reported to the host.
  // False when `ready` could not be made (the events).
  bool open();
  // Serves until `control` fires; the connections not yet handed to a
  // worker are then closed, unanswered.
  void serve(platform::EventHandle control);
  // While paused: the finished logins taken back and the refusals that
  // are due sent.
  void idle();
  // At a stop: the logins under way finish, and every refusal left for
  // later is sent now.
  void finish();

  const std::vector<std::unique_ptr<Listener>>& listeners() const { return m_listeners; }
  // Every listener listens (and there is at least one).
  bool listening() const;
  // The first listener that does not listen; the first of all when each
  // does, null when there is none.
  const Listener* waitingListener() const;
  const AdmissionBounds& bounds() const { return m_bounds; }
  // Connections accepted and not yet done with, in the loop or a worker.
  std::size_t pending() const { return held() + m_handedOver; }

 private:
  enum class Wake { Control, Finished, Sockets, Time, Failed };

  // One wait, and what ended it.
  Wake waitOnce(platform::EventHandle control);
  // The listeners of SockListenAddress (or of both families' every
  // address); false when the list does not parse (reported).
  bool openListeners();
  // Waits for the next bind attempt while nothing listens; true when a
  // control came first.
  bool waitForPort();
  // Tries again the binds that are due.
  void retryListeners(Clock::time_point now);
  // The soonest bind attempt due, if any listener waits for one.
  std::optional<Clock::time_point> nextBindAttempt() const;
  void serveReadySockets();
  // What is due whatever woke the wait: refusals, the lines left out,
  // connections whose time is up.
  void serveDue(Clock::time_point now);

  // Connections that hold no login slot.
  std::size_t held() const {
    return m_connections.size() + m_waiting.size() + m_delayedRefusals.size() +
           m_blocked.size();
  }
  bool accepting(Clock::time_point now) const;
  // Room for one more connection: at once, or by closing the oldest
  // connection still sending its record of the address with the most.
  bool roomForOneMore() const;
  void makeRoom();
  // Takes the connections waiting on a listener, within the bounds.
  void acceptClients(const Listener& listener);
  // A connection just accepted: refused by its source's cap, left for
  // its refusal when its address is blocked, or set up and read from at
  // once.
  void admitClient(platform::SocketHandle accepted, const platform::Endpoint& peer);
  // Whether the source already has its cap of connections: then the
  // closure is logged (once a second per source) and true returned.
  bool overSourceCap(const platform::Endpoint& peer, const platform::NetAddress& source);
  // A balancer's connection: its PROXY header, read up to its end and no
  // further, then the connection stands for the client it names. False
  // once it has left the loop.
  bool takeProxyHeader(ClientConnection& connection);
  // The balancers of ProxyProtocolFrom; false when the list does not
  // parse (reported).
  bool readProxyFrom();
  // The addresses StatusPageFrom lets see the page; false when the list
  // does not parse (reported).
  bool readStatusPageFrom();
  // The response a request gets: the page, or a refusal where TLS is
  // required or the client may not see it (logged once a second per
  // source).
  PageResponse pageFor(const ClientConnection& connection, DaemonMetrics::Page page);
  // The connections held now, by stage; `asking` counts as a page.
  DaemonMetrics::Pending pendingByStage(const ClientConnection& asking) const;
  // Works on a connection the wait found ready; false once it has left
  // the loop (closed or handed over).
  bool progress(ClientConnection& connection);
  bool progressRecord(ClientConnection& connection);
  // On an instance that takes TLS, the first bytes say whether the
  // connection is TLS: then it goes to the relay and waits for its word.
  // False once it has left the loop.
  bool takeTransport(ClientConnection& connection);
  bool progressRelay(ClientConnection& connection);
  // The relay, when the instance takes TLS; false when TLS was asked for
  // and cannot be had (reported): nothing is then listened on.
  bool openTls();
  // The record is whole: screened, then handed to a worker, or left
  // waiting for a login slot.
  void screenAndHandOver(ClientConnection& connection);
  void handOver(ClientConnection& connection);
  // The socket out of the wait, blocking again, for whoever takes it on.
  void leaveWait(ClientConnection& connection);
  // Hands the logins waiting for a slot on, while there are slots (all of
  // them, with `all`).
  void startWaitingLogins(bool all);
  // A connection whose time ran out, closed with its log line.
  void expire(ClientConnection& connection);
  // Removes the connections for which `done` is true, each counted off
  // its source unless a worker has it.
  template <typename Done>
  void removeConnections(Done done);
  // The logins the workers finished; those with a refusal left for later
  // join the refusals due.
  void takeFinishedLogins();
  // Sends the refusals whose time has come (all of them, with `all`).
  void answerDueRefusals(Clock::time_point now, bool all);
  void answerDueBlocked(Clock::time_point now, bool all);
  Clock::time_point receiveDeadline() const;

  ConnectionHost& m_host;
  const CServiceConfig& m_config;
  LogStream& m_log;
  RefusalLog& m_refusals;
  DaemonMetrics& m_metrics;
  const AdmissionBounds m_bounds;
  std::vector<std::unique_ptr<Listener>> m_listeners;
  platform::SocketWait m_socketWait = nullptr;
  platform::EventHandle m_finishedEvent = nullptr;
  std::vector<std::unique_ptr<ClientConnection>> m_connections;
  // Whole records, screened, waiting for a login slot, oldest first.
  std::deque<std::unique_ptr<ClientConnection>> m_waiting;
  std::vector<platform::SocketInterest> m_interest;
  // m_interest begins with these listeners, in this order.
  std::vector<const Listener*> m_listenersWatched;
  // Logins with a worker, not yet reported done.
  std::size_t m_handedOver = 0;
  PendingPerSource m_sources;
  // Checked logins whose refusal waits for its time, soonest not first.
  std::vector<LoginJob> m_delayedRefusals;
  // Connections from blocked addresses, each due kBlockedPause after its
  // accept (its deadline), so soonest first.
  static constexpr std::chrono::milliseconds kBlockedPause{100};
  std::deque<std::unique_ptr<ClientConnection>> m_blocked;
  // After a failed accept, accepting pauses, growing while the failures
  // go on (0: accepting).
  static constexpr std::uint32_t kFirstAcceptPauseMs = 100;
  static constexpr std::uint32_t kLastAcceptPauseMs = 1000;
  std::uint32_t m_acceptPauseMs = 0;
  Clock::time_point m_acceptResumes;
  // After a failed wait, the next one comes only after a pause, growing
  // the same way: a wait that cannot work never spins.
  std::uint32_t m_waitPauseMs = 0;
  std::unique_ptr<LoginWorkers> m_workers;
  TlsMode m_tlsMode = TlsMode::No;
  platform::TlsRelay m_relay = nullptr;
  std::vector<AddressPrefix> m_proxyFrom;
  std::vector<AddressPrefix> m_statusPageFrom;
};
