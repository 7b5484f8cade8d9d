// CVornD: the daemon, the one service object of a running instance.
//
// It owns everything a running instance holds: configuration, log, events,
// flags and counters. Start-up (Init), the main loop (Run), pause,
// continue and stop run under CService's sequence. Connections are
// accepted, read and answered with status pages by the connection loop
// inside Run, on the service main thread, all of them at once; each
// screened login is finished (check, reply, launch) by a worker thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "daemon/failure_pacing.h"
#include "daemon/log_stream.h"
#include "daemon/login_failure_limits.h"
#include "daemon/login_workers.h"
#include "daemon/pending_per_source.h"
#include "daemon/refusal_log.h"
#include "daemon/service_config.h"
#include "platform/logon.h"
#include "platform/net.h"
#include "platform/socket_wait.h"
#include "platform/sync.h"
#include "service/service.h"
#include "session/client_connection.h"
#include "session/net_login.h"

class CSocket;
class TokenQuery;
struct StatusPageValues;

class CVornD : public CService {
 public:
  CVornD(const std::string& serviceName, const std::string& eventSource,
         std::uint32_t serviceType);
  ~CVornD() override;

  void Init() override;
  void Cleanup() override;
  void OnPause() override;
  void OnContinue() override;
  void Run() override;
  void OnStop() override;

  void createWindowStation();
  // Where the log goes: LogFileName as it stands, else LogServiceDir (or
  // the platform's default folder) and the service name with ".log".
  std::string logFilePath() const;
  void openLog();

  // The listening socket and its accept event (listener.cpp).
  void createListener();
  // The port the listener binds: the low 16 bits of SockPort.
  std::uint16_t listenPort() const;
  // Binds the listening socket to its port and listens; false when the
  // port is 0 or the bind fails.
  bool bindListener();
  // Another attempt at a bind that failed at start-up; the pause before
  // the next one doubles, up to a minute.
  bool retryBind();
  // The status while the port is not listened on: start pending, its
  // checkpoint advancing with each failed attempt, a stop accepted; and
  // running with every control once it is.
  void reportWaitingForPort();
  void reportListening();
  // Serves every connection at once until scmEvent fires; those not yet
  // handed to a worker are then closed (connection_loop.cpp).
  void handleClients();
  // Takes the connections waiting on the listener, within the bounds.
  void acceptClients();
  // A connection just accepted: refused by its source's cap, or set up
  // and read from at once.
  void admitClient(platform::SocketHandle accepted, const platform::Ipv4Endpoint& peer);
  // Works on a connection the wait found ready; false once it has left
  // the loop (closed or handed over).
  bool progressConnection(ClientConnection& connection);
  // A connection whose time ran out, closed with its log line.
  void expireConnection(ClientConnection& connection);
  // Lets go of the loop's connections and counts of the logins done.
  void releaseConnection(std::uint32_t source);
  // The logins the workers finished; those with a refusal left for later
  // join the refusals due.
  void takeFinishedLogins();
  // Sends the refusals whose time has come (all of them, with `all`).
  void answerDueRefusals(std::chrono::steady_clock::time_point now, bool all);
  void closeConnections();
  // The limits, with their defaults for values below 1.
  std::size_t maxPendingLogins() const;
  std::size_t maxPendingPerSource() const;
  // LoginFailureLimit (0: none; below 0: 10) and LoginFailurePenalty
  // (below 1: 60).
  std::size_t loginFailureLimit() const;
  std::uint32_t loginFailurePenaltySeconds() const;
  // SockReceiveTimeout, or 5 for a value below 1.
  std::uint32_t receiveBoundSeconds() const;
  // Waits up to ms for scmEvent; true when it fired, or, should there be
  // no event to wait on, when a stop or pause is flagged.
  bool waitOnControl(std::uint32_t ms);

  // The login record coming in, then the screening and the hand-over to
  // a worker (login_negotiation.cpp). False once the connection has left
  // the loop.
  bool progressRecord(ClientConnection& connection);
  void screenAndHandOver(ClientConnection& connection);
  // A worker's part: the check, the reply, the count and the launch.
  void completeLogin(LoginJob& job);
  // Checks a screened record by the configured method and sends the
  // login reply; true when accepted. A logon token the launch is to use
  // is left in `token`. A refusal that must wait is not sent: its time is
  // left in the job (authentication.cpp).
  bool authenticateUser(LoginJob& job, platform::LogonToken& token);
  // Counts the login as served or rejected, then sends its reply;
  // returns `accepted`.
  bool sendLoginReply(CSocket& client, bool accepted);
  bool refuseLogin(const netLogin& login, CSocket& client);
  bool acceptLogin(const netLogin& login, CSocket& client);
  bool checkLogonUser(LoginJob& job, platform::LogonToken& token);
  // The event log's warning line for a refused login, after the error
  // entry of the system's reason when there is one; both are capped as the
  // client's lines (refusal_log.h).
  void logRefusal(const netLogin& login, const platform::Ipv4Endpoint& peer,
                  RefusalReason reason, const std::string& systemError = std::string());
  // Hands an accepted client to a new engine process, run under `token`
  // for "LogonUser", which it closes; on return the daemon holds no handle
  // of the connection. False when no engine was started (engine_launch.cpp).
  bool startEngine(const netLogin& login, CSocket& client, platform::LogonToken token);
  // The engine's command line, with the socket number it inherits.
  std::string engineCommandLine(const netLogin& login, platform::SocketHandle socket) const;
  // The engine's environment block from the environment list; with a
  // user and a password, $SYSUID and $SYSUIDP are set in the block over
  // what the list has for them.
  std::string buildEnvironment(const std::string* user, const std::string* password) const;
  // One client piece: " -name=value", the field's trailing blanks and
  // NULs dropped; nothing when nothing is left.
  static void appendStartupArg(std::string& commandLine, const char* name, const char* field,
                               std::size_t width);
  // The HTML status page: made, then sent as the client takes it. Once
  // it is all out the connection is shut down and closed
  // (status_page.cpp). False once the connection has left the loop.
  void beginStatusPage(ClientConnection& connection);
  bool progressStatusPage(ClientConnection& connection);
  // What the page shows, as it stands now.
  StatusPageValues statusPageValues() const;

  // The process token and the visible drives, written to the log under
  // detailed logging (src/diag/).
  void DumpToken();
  // The same with the token read through `query`.
  void DumpToken(TokenQuery& query);
  void DumpDrives();
  void DescribeSid(const void* sid);
  void DescribeGroupAttributes(std::uint32_t attributes);
  void DescribeAccessMask(std::uint32_t mask);

  // Read-only views for the status page and for tests.
  const CServiceConfig& config() const { return m_config; }
  const std::string& desktop() const { return m_strDesktop; }
  std::int32_t clientsServed() const { return m_nClientsServed; }
  std::int32_t clientsRejected() const { return m_nClientsRejected; }
  // Connections accepted and not yet done with, in the loop or a worker.
  std::size_t pendingLogins() const {
    return m_connections.size() + m_nHandedOver + m_delayedRefusals.size();
  }

 protected:
  // Run's pause and continue hand-shake, shared by OnPause and OnContinue.
  void changePauseState(bool pause, std::uint32_t pendingState, std::uint32_t finalState);

  // One section of the token dump, from a buffer filled for its class.
  void DumpTokenSection(std::uint32_t tokenClass, const void* buffer);

  std::string m_strDesktop;
  CServiceConfig m_config;
  // Asked once: each status page shows it.
  std::uint32_t m_dwProcessId = 0;
  platform::SocketHandle m_listenSocket = platform::kInvalidSocket;
  // Set once the listener listens on its port.
  bool m_bListening = false;
  platform::EventHandle m_hScmEvent = nullptr;
  // Written from const members too: a log entry changes nothing of the daemon.
  mutable LogStream m_log;
  platform::EventHandle m_hAckEvent = nullptr;
  std::uint32_t m_dwStopWaitHint = 10000;
  platform::AtomicFlag m_bPause;
  platform::AtomicFlag m_bStop;
  // Not 0 while the bind waits for another attempt, due at m_nextBindAttempt.
  static constexpr std::uint32_t kFirstBindRetryMs = 1000;
  static constexpr std::uint32_t kLastBindRetryMs = 60000;
  std::uint32_t m_dwBindRetryMs = 0;
  std::uint32_t m_nBindRetries = 0;
  platform::ErrorCode m_bindError = 0;
  // Past the 1 of the control handler's registration.
  std::uint32_t m_dwStartCheckPoint = 1;
  std::chrono::steady_clock::time_point m_nextBindAttempt;
  // The connection loop's own: its wait, its connections, the logins
  // handed to workers and not yet reported done, the counts per source,
  // and the pause after a failed accept (0: accepting).
  static constexpr std::uint32_t kFirstAcceptPauseMs = 100;
  static constexpr std::uint32_t kLastAcceptPauseMs = 1000;
  platform::SocketWait m_socketWait = nullptr;
  platform::EventHandle m_hFinishedEvent = nullptr;
  std::vector<std::unique_ptr<ClientConnection>> m_connections;
  std::size_t m_nHandedOver = 0;
  PendingPerSource m_sources;
  std::uint32_t m_dwAcceptPauseMs = 0;
  std::chrono::steady_clock::time_point m_acceptResumes;
  std::unique_ptr<LoginWorkers> m_workers;
  // Checked logins whose refusal waits for its time, soonest not first.
  std::vector<LoginJob> m_delayedRefusals;
  // The defences against guessing: the warning lines, the failures per
  // address (made at start-up, from the configuration), the pacing of
  // failures. Shared with the workers.
  RefusalLog m_refusals{[this](platform::EventType type, const std::string& line) {
    WriteEventLog(line, type);
  }};
  std::unique_ptr<LoginFailureLimits> m_failureLimits;
  FailurePacing m_failurePacing;
  // Written by the workers, read by the status page.
  std::atomic<std::int32_t> m_nClientsServed{0};
  std::atomic<std::int32_t> m_nClientsRejected{0};
};

// The one daemon of the process; set by CVornD's constructor.
extern CVornD* g_pDaemon;

// The plain functions the operating system calls, forwarded to g_pDaemon.
void DaemonServiceMain(std::uint32_t argc, char** argv);
void DaemonControlHandler(std::uint32_t control);
unsigned DaemonWorkerThread(void* argument);
